#include "platform/process/thread_reaper.hpp"

#include <utility>

namespace vantreel::platform::process {

ThreadReaper& ThreadReaper::instance() {
  static ThreadReaper reaper;
  return reaper;
}

void ThreadReaper::adopt(std::jthread thread) {
  std::vector<std::jthread> finishing;
  {
    std::scoped_lock guard(lock_);
    finishing.swap(adopted_);
    adopted_.push_back(std::move(thread));
  }
  // Threads adopted earlier are past their last user call; joining them here keeps the list
  // from growing. Leaving scope joins them.
}

ThreadReaper::~ThreadReaper() {
  std::scoped_lock guard(lock_);
  for (auto& thread : adopted_) {
    // A program that exits from inside a handler reaches here on the adopted thread itself.
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else if (thread.joinable()) {
      thread.join();
    }
  }
}

}  // namespace vantreel::platform::process
