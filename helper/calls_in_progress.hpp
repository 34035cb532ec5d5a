#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace vantreel {

// Counts the calls the daemon has taken on and not yet answered, so that its end can wait for
// their replies to be queued before it flushes and exits: a start cut short by the end is
// still answered.
class CallsInProgress {
 public:
  // Held for the run of one call.
  class Scope {
   public:
    explicit Scope(CallsInProgress& calls) : calls_(calls) { calls_.began(); }
    ~Scope() { calls_.ended(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    CallsInProgress& calls_;
  };

  // Whether none was left in progress by the deadline.
  bool awaitNone(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock guard(lock_);
    return ended_.wait_until(guard, deadline, [this] { return count_ == 0; });
  }

 private:
  void began() {
    std::scoped_lock guard(lock_);
    ++count_;
  }
  void ended() {
    {
      std::scoped_lock guard(lock_);
      --count_;
    }
    ended_.notify_all();
  }

  std::mutex lock_;  // guards count_
  std::condition_variable ended_;
  std::size_t count_ = 0;
};

}  // namespace vantreel
