#include <algorithm>
#include <vector>

#include "platform/codesign/cms_signature.hpp"
#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/embedded_signature.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/codesign/signed_file.hpp"
#include "platform/codesign/trust_anchors.hpp"

namespace vantreel::platform::codesign {
namespace {

tl::expected<std::vector<std::uint8_t>, OSStatus> readRange(int fd, std::uint64_t offset,
                                                            std::uint64_t size) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (!file_access::readAt(fd, offset, bytes)) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  return bytes;
}

}  // namespace

tl::expected<VerifiedSignature, OSStatus> SignedFile::verify(int fd,
                                                             const SecRequirement* requirement) {
  const auto status = file_access::status(fd);
  if (!status || status->type != file_access::Type::regular) {
    return tl::unexpected(errSecCSStaticCodeNotFound);
  }
  if (status->size < EmbeddedSignature::kTrailerSize) {
    return tl::unexpected(errSecCSUnsigned);
  }
  const auto tail = readRange(fd, status->size - EmbeddedSignature::kTrailerSize,
                              EmbeddedSignature::kTrailerSize);
  if (!tail) {
    return tl::unexpected(tail.error());
  }
  const auto layout = EmbeddedSignature::locate(status->size, *tail);
  if (!layout) {
    return tl::unexpected(layout.error());
  }
  const auto der = readRange(fd, layout->contentSize, layout->signatureSize);
  if (!der) {
    return tl::unexpected(der.error());
  }
  auto signature = CmsSignature::verify(*der, TrustAnchors::embedded());
  if (!signature) {
    return signature;
  }
  // Refused before a byte is hashed: whatever size a file claims or has, a signature that
  // cannot pass must not cost the time to hash it (a hole costs its maker nothing).
  if (signature->kind != CodeDirectory::kKindElf || signature->length != layout->contentSize) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  if (requirement != nullptr && !requirement->isSatisfiedBy(*signature)) {
    return tl::unexpected(errSecCSReqFailed);
  }
  if (layout->contentSize > kMaxSignedLength) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  Sha256 hash;
  std::vector<std::uint8_t> buffer(std::size_t{256} * 1024);
  for (std::uint64_t offset = 0; offset < layout->contentSize;) {
    const auto chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer.size(), layout->contentSize - offset));
    if (!file_access::readAt(fd, offset, std::span(buffer).first(chunk))) {
      return tl::unexpected(errSecCSSignatureFailed);
    }
    hash.update(std::span(buffer).first(chunk));
    offset += chunk;
  }
  const auto digest = hash.finish();
  if (!std::equal(signature->digest.begin(), signature->digest.end(), digest.begin(),
                  digest.end())) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  return signature;
}

}  // namespace vantreel::platform::codesign
