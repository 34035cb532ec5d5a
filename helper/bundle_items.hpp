#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "helper/runner_error.hpp"

// The two items of a caller's app bundle that the daemon runs as root, OpenConnect and its
// routing script, found at their fixed places and verified: signed on their own, or sealed by
// the bundle's seal, under the Team ID.
namespace vantreel::BundleItems {

// An item that passed verification, with what its signature or the bundle's seal vouched for:
// the SHA-256 of its first signedLength bytes, or of all of it.
struct VerifiedItem {
  std::string path;  // real path
  std::array<std::uint8_t, 32> digest{};
  std::optional<std::uint64_t> signedLength;
};

// "darwin-arm64" on a 64-bit Arm machine (uname reports arm64 or aarch64), else "darwin-amd64".
[[nodiscard]] std::string currentDarwinArch();

// The native architecture's OpenConnect, else the other one's.
[[nodiscard]] tl::expected<VerifiedItem, RunnerError> openConnect(const std::string& appBundle);
[[nodiscard]] tl::expected<VerifiedItem, RunnerError> vpncScript(const std::string& appBundle);
// item must resolve to one of the admitted items inside appBundle.
[[nodiscard]] tl::expected<VerifiedItem, RunnerError> verify(const std::string& item,
                                                             const std::string& appBundle);

}  // namespace vantreel::BundleItems
