#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/os_status.hpp"
#include "platform/codesign/signing_identity.hpp"
#include "platform/codesign/trust_anchors.hpp"
#include "platform/codesign/verified_signature.hpp"

namespace vantreel::platform::codesign {

// A signature as stored: CMS SignedData (DER) with the encoded code directory as its content,
// one signer, and the signer's certificate and chain carried inside.
class CmsSignature {
 public:
  static constexpr std::size_t kMaxSize = 64 * 1024;

  [[nodiscard]] static tl::expected<std::vector<std::uint8_t>, std::string> sign(
      const CodeDirectory& directory, const SigningIdentity& identity);

  // Checks the CMS signature itself (errSecCSSignatureFailed, errSecCSBadObjectFormat) and
  // reports, without failing on it, whether the chain reaches one of the anchors.
  [[nodiscard]] static tl::expected<VerifiedSignature, OSStatus> verify(
      std::span<const std::uint8_t> der, const TrustAnchors& anchors);
};

}  // namespace vantreel::platform::codesign
