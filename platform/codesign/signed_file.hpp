#pragma once

#include <cstdint>
#include <tl/expected.hpp>

#include "platform/codesign/os_status.hpp"
#include "platform/codesign/sec_requirement.hpp"
#include "platform/codesign/verified_signature.hpp"

namespace vantreel::platform::codesign {

// An executable file checked against the signature appended to it (see EmbeddedSignature).
struct SignedFile {
  // Far above any program we sign (a few MB): bounds what even a signature of ours can make a
  // check read.
  static constexpr std::uint64_t kMaxSignedLength = std::uint64_t{1} << 30;

  // Reads through fd, so the inode examined stays the one opened. Everything the signature
  // says of itself is judged before a byte of the code is hashed: its CMS signature, kind,
  // signed length (the file's own, at most kMaxSignedLength) and, when given, requirement
  // (errSecCSReqFailed), so that a signature that cannot pass costs no more than its own size.
  [[nodiscard]] static tl::expected<VerifiedSignature, OSStatus> verify(
      int fd, const SecRequirement* requirement);
};

}  // namespace vantreel::platform::codesign
