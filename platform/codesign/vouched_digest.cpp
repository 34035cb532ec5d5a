#include "platform/codesign/vouched_digest.hpp"

#include <algorithm>

#include "platform/codesign/sealed_bundle.hpp"
#include "platform/codesign/signed_file.hpp"

namespace vantreel::platform::codesign {
// NOLINTNEXTLINE(readability-identifier-naming)
tl::expected<VouchedDigest, OSStatus> SecStaticCodeCopyVouchedDigest(
    const std::shared_ptr<SecStaticCode>& staticCode,
    const std::shared_ptr<SecRequirement>& requirement, std::string_view resource) {
  if (!staticCode) {
    return tl::unexpected(errSecCSObjectRequired);
  }
  VouchedDigest vouched;
  if (staticCode->kind() == SecStaticCode::Kind::file) {
    if (!resource.empty()) {
      return tl::unexpected(errSecCSInvalidAttributeValues);
    }
    // The file may change once it has been checked; a copy of other bytes then fails to match
    // the digest, whatever is read.
    const auto signature = SignedFile::verify(staticCode->fd(), requirement.get());
    if (!signature) {
      return tl::unexpected(signature.error());
    }
    if (signature->digest.size() != vouched.digest.size() || !signature->length) {
      return tl::unexpected(errSecCSSignatureFailed);
    }
    std::copy(signature->digest.begin(), signature->digest.end(), vouched.digest.begin());
    vouched.signedLength = signature->length;
    return vouched;
  }

  // The file's digest and size are read from the very manifest that the bundle was found to
  // hold: the bundle may change afterwards, but a copy of other bytes then fails to match.
  const auto sealed = SealedBundle::verify(staticCode->fd(), requirement.get());
  if (!sealed) {
    return tl::unexpected(sealed.error());
  }
  const auto entry = std::find_if(
      sealed->entries.begin(), sealed->entries.end(),
      [&](const BundleManifest::Entry& candidate) { return candidate.path == resource; });
  if (entry == sealed->entries.end() || entry->link) {
    return tl::unexpected(errSecCSBadResource);
  }
  vouched.digest = entry->digest;
  vouched.signedLength = entry->size;
  return vouched;
}

}  // namespace vantreel::platform::codesign
