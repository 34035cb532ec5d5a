#include "platform/codesign/vouched_digest.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/embedded_signature.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sealed_bundle.hpp"

namespace vantreel::platform::codesign {
namespace {

tl::expected<std::uint64_t, OSStatus> signedLengthOf(int fd) {
  const auto status = file_access::status(fd);
  if (!status || status->type != file_access::Type::regular) {
    return tl::unexpected(errSecCSStaticCodeNotFound);
  }
  const auto tailSize = std::min<std::uint64_t>(status->size, EmbeddedSignature::kTrailerSize);
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(tailSize));
  if (!file_access::readAt(fd, status->size - tailSize, tail)) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  const auto layout = EmbeddedSignature::locate(status->size, tail);
  if (!layout) {
    return tl::unexpected(layout.error());
  }
  return layout->contentSize;
}

// The seal's digest of one regular file, from a manifest already matched against the seal.
tl::expected<Sha256::Digest, OSStatus> sealedFileDigest(const std::vector<std::uint8_t>& manifest,
                                                        std::string_view resource) {
  const auto entries = nlohmann::json::from_cbor(manifest, true, false);
  if (!entries.is_array()) {
    return tl::unexpected(errSecCSBadResource);
  }
  for (const auto& entry : entries) {
    if (!entry.is_array() || entry.size() != 4 || !entry[0].is_string() ||
        entry[0].get_ref<const std::string&>() != resource) {
      continue;
    }
    if (entry[1] != "file" || !entry[3].is_binary()) {
      return tl::unexpected(errSecCSBadResource);
    }
    const auto& bytes = entry[3].get_binary();
    Sha256::Digest digest{};
    if (bytes.size() != digest.size()) {
      return tl::unexpected(errSecCSBadResource);
    }
    std::copy(bytes.begin(), bytes.end(), digest.begin());
    return digest;
  }
  return tl::unexpected(errSecCSBadResource);
}

}  // namespace

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
    const auto signature =
        CodeSigning::real().SecCodeCopySigningInformation(staticCode, kSecCSDefaultFlags);
    if (!signature) {
      return tl::unexpected(signature.error());
    }
    if (requirement && !requirement->isSatisfiedBy(*signature)) {
      return tl::unexpected(errSecCSReqFailed);
    }
    if (signature->digest.size() != vouched.digest.size()) {
      return tl::unexpected(errSecCSSignatureFailed);
    }
    // The file may have changed since it was checked; a copy of other bytes then fails to
    // match the digest, whatever length is read here.
    const auto length = signedLengthOf(staticCode->fd());
    if (!length) {
      return tl::unexpected(length.error());
    }
    std::copy(signature->digest.begin(), signature->digest.end(), vouched.digest.begin());
    vouched.signedLength = *length;
    return vouched;
  }

  // The file's digest is read from the very manifest that was found to be the sealed one: the
  // bundle may change afterwards, but a copy of other bytes then fails to match the digest.
  const auto sealed = SealedBundle::verify(staticCode->fd());
  if (!sealed) {
    return tl::unexpected(sealed.error());
  }
  if (requirement && !requirement->isSatisfiedBy(sealed->signature)) {
    return tl::unexpected(errSecCSReqFailed);
  }
  const auto digest = sealedFileDigest(sealed->manifest, resource);
  if (!digest) {
    return tl::unexpected(digest.error());
  }
  vouched.digest = *digest;
  return vouched;
}

}  // namespace vantreel::platform::codesign
