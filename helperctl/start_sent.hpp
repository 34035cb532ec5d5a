#pragma once

#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace vantreel {

// Opened once the start has been handed to the connection. The watcher's stop waits for it,
// so that the daemon never sees a stop before the start it is meant to end.
class StartSent {
 public:
  void open() {
    {
      std::scoped_lock lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // False when stop was requested first.
  [[nodiscard]] bool wait(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    return changed_.wait(lock, stop, [this] { return open_; });
  }

 private:
  std::mutex mutex_;  // guards open_
  std::condition_variable_any changed_;
  bool open_ = false;
};

}  // namespace vantreel
