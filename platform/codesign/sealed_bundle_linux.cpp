#include <algorithm>

#include "platform/codesign/cms_signature.hpp"
#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sealed_bundle.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/codesign/trust_anchors.hpp"

namespace vantreel::platform::codesign {
namespace {

// A regular file of the seal folder, whole, if it is no larger than maxSize.
tl::expected<std::vector<std::uint8_t>, OSStatus> readSealPart(int folderFd, const char* name,
                                                               std::size_t maxSize,
                                                               OSStatus missing,
                                                               OSStatus malformed) {
  auto file = file_access::openFileAt(folderFd, name);
  if (!file) {
    return tl::unexpected(missing);
  }
  const auto status = file_access::status(file->get());
  if (!status || status->type != file_access::Type::regular || status->size == 0 ||
      status->size > maxSize) {
    return tl::unexpected(malformed);
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status->size));
  if (!file_access::readAt(file->get(), 0, bytes)) {
    return tl::unexpected(malformed);
  }
  return bytes;
}

}  // namespace

tl::expected<SealedBundle, OSStatus> SealedBundle::verify(int rootFd,
                                                          const SecRequirement* requirement) {
  auto contents = file_access::openDirectoryAt(rootFd, "Contents");
  if (!contents) {
    return tl::unexpected(errSecCSUnsigned);
  }
  auto folder = file_access::openDirectoryAt(contents->get(), "_CodeSignature");
  if (!folder) {
    return tl::unexpected(errSecCSUnsigned);
  }
  const auto der = readSealPart(folder->get(), "CodeResources", CmsSignature::kMaxSize,
                                errSecCSUnsigned, errSecCSBadObjectFormat);
  if (!der) {
    return tl::unexpected(der.error());
  }
  auto signature = CmsSignature::verify(*der, TrustAnchors::embedded());
  if (!signature) {
    return tl::unexpected(signature.error());
  }
  if (signature->kind != CodeDirectory::kKindBundle) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  // Before anything else is read: a seal of somebody else's buys no walk of the bundle.
  if (requirement != nullptr && !requirement->isSatisfiedBy(*signature)) {
    return tl::unexpected(errSecCSReqFailed);
  }
  const auto manifest = readSealPart(folder->get(), "CodeManifest", BundleManifest::kMaxEncodedSize,
                                     errSecCSBadResource, errSecCSBadResource);
  if (!manifest) {
    return tl::unexpected(manifest.error());
  }
  const auto digest = Sha256::of(*manifest);
  if (!std::equal(digest.begin(), digest.end(), signature->digest.begin(),
                  signature->digest.end())) {
    return tl::unexpected(errSecCSBadResource);
  }
  auto entries = BundleManifest::decode(*manifest, {});
  if (!entries) {
    return tl::unexpected(errSecCSBadResource);
  }
  if (const OSStatus held = BundleManifest::check(rootFd, *entries, {}); held != errSecSuccess) {
    return tl::unexpected(held);
  }
  return SealedBundle{std::move(*signature), std::move(*entries)};
}

}  // namespace vantreel::platform::codesign
