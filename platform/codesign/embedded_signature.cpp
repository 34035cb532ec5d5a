#include "platform/codesign/embedded_signature.hpp"

#include <algorithm>

#include "platform/codesign/cms_signature.hpp"

namespace vantreel::platform::codesign {

tl::expected<EmbeddedSignature::Layout, OSStatus> EmbeddedSignature::locate(
    std::uint64_t fileSize, std::span<const std::uint8_t> tail) {
  if (fileSize < kTrailerSize || tail.size() != kTrailerSize ||
      !std::equal(kMagic.begin(), kMagic.end(), tail.begin() + 8)) {
    return tl::unexpected(errSecCSUnsigned);
  }
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    length |= static_cast<std::uint64_t>(tail[i]) << (8 * i);
  }
  if (length == 0 || length > CmsSignature::kMaxSize || length > fileSize - kTrailerSize) {
    return tl::unexpected(errSecCSBadObjectFormat);
  }
  return Layout{fileSize - kTrailerSize - length, length};
}

std::array<std::uint8_t, EmbeddedSignature::kTrailerSize> EmbeddedSignature::trailer(
    std::uint64_t signatureSize) {
  std::array<std::uint8_t, kTrailerSize> out{};
  for (std::size_t i = 0; i < 8; ++i) {
    out[i] = static_cast<std::uint8_t>((signatureSize >> (8 * i)) & 0xffU);
  }
  std::copy(kMagic.begin(), kMagic.end(), out.begin() + 8);
  return out;
}

}  // namespace vantreel::platform::codesign
