#include "platform/posix/thread_reaper.hpp"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace vantreel::platform::posix {
namespace {

// Lives until the process ends and is never destroyed: a connection or child may still hand
// over its thread while the process exits, and a reaper torn down by the exit handlers would
// then be used after its destruction.
class Reaper {
 public:
  Reaper() : worker_([this] { run(); }) {}
  Reaper(const Reaper&) = delete;
  Reaper& operator=(const Reaper&) = delete;
  ~Reaper() = delete;

  void add(std::jthread thread) {
    {
      std::scoped_lock lock(mutex_);
      threads_.push_back(std::move(thread));
    }
    wake_.notify_all();
  }

 private:
  [[noreturn]] void run() {
    for (;;) {
      std::vector<std::jthread> batch;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return !threads_.empty(); });
        batch.swap(threads_);
      }
      batch.clear();  // joins each
    }
  }

  std::mutex mutex_;  // guards threads_
  std::condition_variable wake_;
  std::vector<std::jthread> threads_;
  std::jthread worker_;
};

}  // namespace

void reapThread(std::jthread thread) {
  static Reaper* const reaper = new Reaper();
  reaper->add(std::move(thread));
}

}  // namespace vantreel::platform::posix
