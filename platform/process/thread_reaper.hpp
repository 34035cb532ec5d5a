#pragma once

#include <mutex>
#include <thread>
#include <vector>

namespace vantreel::platform::process {

// Owner of threads whose object was destroyed on that very thread (a termination or
// readability handler dropping the last reference): such a thread cannot join itself, so it is
// handed here and joined by the next hand-over or, at the latest, when the program exits.
// A thread handed over has already made its last user call and is only unwinding.
class ThreadReaper {
 public:
  static ThreadReaper& instance();

  // Takes thread, which must be the calling thread.
  void adopt(std::jthread thread);

  ~ThreadReaper();

 private:
  ThreadReaper() = default;

  std::mutex lock_;  // guards adopted_
  std::vector<std::jthread> adopted_;
};

}  // namespace vantreel::platform::process
