#pragma once

#include <string_view>

#include "platform/log/log_level.hpp"

namespace vantreel::platform::log {

// Where log entries go. Called from any thread, several at once; an implementation must not
// throw and must treat the message as plain data.
class LogSink {
 public:
  LogSink() = default;
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;
  virtual ~LogSink() = default;

  virtual void write(LogLevel level, std::string_view subsystem, std::string_view category,
                     std::string_view message) noexcept = 0;
};

}  // namespace vantreel::platform::log
