#include <algorithm>

#include "platform/codesign/bundle_manifest.hpp"
#include "platform/codesign/cms_signature.hpp"
#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sealed_bundle.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/codesign/trust_anchors.hpp"

namespace vantreel::platform::codesign {

tl::expected<SealedBundle, OSStatus> SealedBundle::verify(int rootFd) {
  auto contents = file_access::openDirectoryAt(rootFd, "Contents");
  if (!contents) {
    return tl::unexpected(errSecCSUnsigned);
  }
  auto folder = file_access::openDirectoryAt(contents->get(), "_CodeSignature");
  if (!folder) {
    return tl::unexpected(errSecCSUnsigned);
  }
  auto seal = file_access::openFileAt(folder->get(), "CodeResources");
  if (!seal) {
    return tl::unexpected(errSecCSUnsigned);
  }
  const auto status = file_access::status(seal->get());
  if (!status || status->type != file_access::Type::regular || status->size == 0 ||
      status->size > CmsSignature::kMaxSize) {
    return tl::unexpected(errSecCSBadObjectFormat);
  }
  std::vector<std::uint8_t> der(static_cast<std::size_t>(status->size));
  if (!file_access::readAt(seal->get(), 0, der)) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  auto signature = CmsSignature::verify(der, TrustAnchors::embedded());
  if (!signature) {
    return tl::unexpected(signature.error());
  }
  if (signature->kind != CodeDirectory::kKindBundle) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  auto manifest = BundleManifest::build(rootFd);
  if (!manifest) {
    return tl::unexpected(manifest.error());
  }
  const auto digest = Sha256::of(*manifest);
  if (!std::equal(digest.begin(), digest.end(), signature->digest.begin(),
                  signature->digest.end())) {
    return tl::unexpected(errSecCSBadResource);
  }
  return SealedBundle{std::move(*signature), std::move(*manifest)};
}

}  // namespace vantreel::platform::codesign
