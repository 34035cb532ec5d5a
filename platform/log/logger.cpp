#include "platform/log/logger.hpp"

#include <utility>

#include "platform/log/system_log.hpp"

namespace vantreel::platform::log {

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::info(std::string_view message) const noexcept {
  write(LogLevel::info, subsystem_, category_, message);
}

void Logger::error(std::string_view message) const noexcept {
  write(LogLevel::error, subsystem_, category_, message);
}

}  // namespace vantreel::platform::log
