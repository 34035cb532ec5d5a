#include "platform/posix/thread_reaper.hpp"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace vantreel::platform::posix {
namespace {

class Reaper {
 public:
  Reaper() : worker_([this](const std::stop_token& stop) { run(stop); }) {}
  ~Reaper() {
    worker_.request_stop();
    wake_.notify_all();
  }

  void add(std::jthread thread) {
    {
      std::scoped_lock lock(mutex_);
      threads_.push_back(std::move(thread));
    }
    wake_.notify_all();
  }

 private:
  void run(const std::stop_token& stop) {
    for (;;) {
      std::vector<std::jthread> batch;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stop.stop_requested() || !threads_.empty(); });
        batch.swap(threads_);
        if (batch.empty() && stop.stop_requested()) {
          return;
        }
      }
      batch.clear();  // joins each
    }
  }

  std::mutex mutex_;  // guards threads_
  std::condition_variable wake_;
  std::vector<std::jthread> threads_;
  std::jthread worker_;  // last: stopped and joined before the members it uses go
};

}  // namespace

void reapThread(std::jthread thread) {
  static Reaper reaper;
  reaper.add(std::move(thread));
}

}  // namespace vantreel::platform::posix
