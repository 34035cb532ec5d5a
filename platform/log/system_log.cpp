#include "platform/log/system_log.hpp"

#include <mutex>
#include <utility>

#include "platform/log/stream_sink.hpp"

namespace vantreel::platform::log {
namespace {

struct Registry {
  std::mutex mutex;  // guards installed
  std::shared_ptr<LogSink> installed;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

const std::shared_ptr<LogSink>& standardErrorSink() {
  static const std::shared_ptr<LogSink> sink = std::make_shared<StreamSink>(2);
  return sink;
}

}  // namespace

std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink) {
  auto& r = registry();
  const std::scoped_lock lock(r.mutex);
  auto previous = std::exchange(r.installed, std::move(sink));
  return previous ? previous : standardErrorSink();
}

std::shared_ptr<LogSink> currentSink() {
  auto& r = registry();
  {
    const std::scoped_lock lock(r.mutex);
    if (r.installed) {
      return r.installed;
    }
  }
  return standardErrorSink();
}

void write(LogLevel level, std::string_view subsystem, std::string_view category,
           std::string_view message) noexcept {
  currentSink()->write(level, subsystem, category, message);
}

}  // namespace vantreel::platform::log
