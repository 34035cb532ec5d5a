#pragma once

#include <optional>
#include <string>

#include "helper/runner_settings.hpp"

// The system's root certificates, exported for OpenConnect's trust store where a start is not
// pinned to a fingerprint.
namespace vantreel::SystemRoots {

// The path of a fresh PEM file below settings.exportDirectory, or nothing.
[[nodiscard]] std::optional<std::string> exportFor(const RunnerSettings& settings);

}  // namespace vantreel::SystemRoots
