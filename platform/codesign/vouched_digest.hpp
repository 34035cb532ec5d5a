#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <tl/expected.hpp>

#include "platform/codesign/os_status.hpp"
#include "platform/codesign/sec_requirement.hpp"
#include "platform/codesign/sec_static_code.hpp"
#include "platform/codesign/sha256.hpp"

namespace vantreel::platform::codesign {

// What a valid signature vouches for one file, so that a copy taken later can be held against
// it: the SHA-256 of the file's first signedLength bytes (its signed bytes, or its sealed size),
// or of the whole file when absent.
struct VouchedDigest {
  Sha256::Digest digest{};
  std::optional<std::uint64_t> signedLength;
};

// Checks staticCode as SecStaticCodeCheckValidity does (a null requirement checks the signature
// alone; a requirement refuses before the code is read) and returns what it vouches for: for a
// signed file, its own signed bytes (resource must be empty); for a bundle, the sealed regular file
// at resource, a path relative to the bundle root. errSecCSBadResource when the seal holds no such
// file. NOLINTNEXTLINE(readability-identifier-naming)
[[nodiscard]] tl::expected<VouchedDigest, OSStatus> SecStaticCodeCopyVouchedDigest(
    const std::shared_ptr<SecStaticCode>& staticCode,
    const std::shared_ptr<SecRequirement>& requirement, std::string_view resource = {});

}  // namespace vantreel::platform::codesign
