#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vantreel {

// Counts a child's output streams that have not reached end of file yet, so that the end of
// the child is reported only after its last lines: a client that ends when its start is
// answered would otherwise lose them.
class OutputDrain {
 public:
  explicit OutputDrain(int streams) : open_(streams) {}

  void streamEnded() {
    {
      std::scoped_lock guard(mutex_);
      --open_;
    }
    drained_.notify_all();
  }

  // True when every stream ended within timeout. A descendant that keeps a stream open (a
  // daemonised helper of the child) must not hold up the end of the child for ever.
  bool waitUntilDrained(std::chrono::milliseconds timeout) {
    std::unique_lock guard(mutex_);
    return drained_.wait_for(guard, timeout, [this] { return open_ <= 0; });
  }

 private:
  std::mutex mutex_;  // guards open_
  std::condition_variable drained_;
  int open_;
};

}  // namespace vantreel
