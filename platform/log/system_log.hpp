#pragma once

#include <memory>
#include <string_view>

#include "platform/log/log_level.hpp"
#include "platform/log/log_sink.hpp"

// The process-wide log sink: a StreamSink on standard error unless one was installed.
namespace vantreel::platform::log {

// Installs sink for every later entry and returns the one it replaces; nullptr restores the
// standard-error sink. Entries already being written finish on the sink they started on.
std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);

[[nodiscard]] std::shared_ptr<LogSink> currentSink();

// Writes one entry to the current sink. The sink runs outside any lock.
void write(LogLevel level, std::string_view subsystem, std::string_view category,
           std::string_view message) noexcept;

}  // namespace vantreel::platform::log
