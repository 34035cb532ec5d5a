#pragma once

#include <string_view>

namespace vantreel::platform::log {

enum class LogLevel { info, error };

[[nodiscard]] constexpr std::string_view levelName(LogLevel level) noexcept {
  return level == LogLevel::error ? "error" : "info";
}

}  // namespace vantreel::platform::log
