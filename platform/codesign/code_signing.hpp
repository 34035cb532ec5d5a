#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "platform/codesign/os_status.hpp"
#include "platform/codesign/sec_code.hpp"
#include "platform/codesign/sec_requirement.hpp"
#include "platform/codesign/sec_static_code.hpp"
#include "platform/codesign/verified_signature.hpp"

namespace vantreel::platform::codesign {

// The code-signing calls, under their original names, behind one interface so that a test can
// stand in a failing one. A null requirement checks the signature alone.
// NOLINTBEGIN(readability-identifier-naming)
class CodeSigning {
 public:
  virtual ~CodeSigning() = default;

  // The implementation over real processes, files and the compiled-in anchors.
  [[nodiscard]] static CodeSigning& real();

  // The process named by a 32-byte audit token: errSecCSInvalidAttributeValues for malformed
  // bytes, errSecCSNoSuchCode when no process with that pid and start time is running.
  [[nodiscard]] virtual tl::expected<std::shared_ptr<SecCode>, OSStatus>
  SecCodeCopyGuestWithAttributes(std::span<const std::byte> auditToken, SecCSFlags flags) = 0;

  [[nodiscard]] virtual tl::expected<std::shared_ptr<SecRequirement>, OSStatus>
  SecRequirementCreateWithString(std::string_view text, SecCSFlags flags) = 0;

  // Hashes the executable the process runs (not whatever its path names now).
  [[nodiscard]] virtual OSStatus SecCodeCheckValidity(
      const std::shared_ptr<SecCode>& code, SecCSFlags flags,
      const std::shared_ptr<SecRequirement>& requirement) = 0;

  [[nodiscard]] virtual tl::expected<std::shared_ptr<SecStaticCode>, OSStatus>
  SecCodeCopyStaticCode(const std::shared_ptr<SecCode>& code, SecCSFlags flags) = 0;

  [[nodiscard]] virtual tl::expected<std::string, OSStatus> SecCodeCopyPath(
      const std::shared_ptr<SecStaticCode>& staticCode, SecCSFlags flags) = 0;

  // A file or a bundle (a directory whose name ends in ".app"); links in path are followed.
  [[nodiscard]] virtual tl::expected<std::shared_ptr<SecStaticCode>, OSStatus>
  SecStaticCodeCreateWithPath(const std::string& path, SecCSFlags flags) = 0;

  [[nodiscard]] virtual OSStatus SecStaticCodeCheckValidity(
      const std::shared_ptr<SecStaticCode>& staticCode, SecCSFlags flags,
      const std::shared_ptr<SecRequirement>& requirement) = 0;

  // The signature's facts once the code has been checked against it (identifier, Team ID,
  // whether anchored), for tools that report them.
  [[nodiscard]] virtual tl::expected<VerifiedSignature, OSStatus> SecCodeCopySigningInformation(
      const std::shared_ptr<SecStaticCode>& staticCode, SecCSFlags flags) = 0;
};
// NOLINTEND(readability-identifier-naming)

}  // namespace vantreel::platform::codesign
