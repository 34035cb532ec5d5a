#pragma once

#include <optional>
#include <string_view>

namespace vantreel {

// How the helper daemon is installed. Compared by raw value, like the texts it stands for.
enum class InstallMethod { launchd, none };

[[nodiscard]] constexpr std::string_view rawValue(InstallMethod method) {
  return method == InstallMethod::launchd ? "launchd" : "none";
}

[[nodiscard]] constexpr std::optional<InstallMethod> installMethodFromRawValue(
    std::string_view text) {
  if (text == "launchd") {
    return InstallMethod::launchd;
  }
  if (text == "none") {
    return InstallMethod::none;
  }
  return std::nullopt;
}

}  // namespace vantreel
