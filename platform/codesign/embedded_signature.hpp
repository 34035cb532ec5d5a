#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <tl/expected.hpp>
#include <vector>

#include "platform/codesign/os_status.hpp"

namespace vantreel::platform::codesign {

// Where an executable file carries its signature: appended after its own bytes and followed
// by a fixed trailer, the signature's length (uint64, little-endian) and a 16-byte magic.
// The code's digest covers the bytes before the signature.
class EmbeddedSignature {
 public:
  static constexpr std::size_t kTrailerSize = 24;
  static constexpr std::array<std::uint8_t, 16> kMagic = {'~', 'v', 'a', 'n', 't', 'r', 'e', 'e',
                                                          'l', '-', 's', 'i', 'g', '-', '1', '~'};

  struct Layout {
    std::uint64_t contentSize = 0;    // the signed bytes, from offset 0
    std::uint64_t signatureSize = 0;  // the CMS bytes, from offset contentSize
  };

  // Given a file's size and its last kTrailerSize bytes (fewer when the file is shorter):
  // errSecCSUnsigned without the magic, errSecCSBadObjectFormat when the length cannot be.
  [[nodiscard]] static tl::expected<Layout, OSStatus> locate(std::uint64_t fileSize,
                                                             std::span<const std::uint8_t> tail);

  [[nodiscard]] static std::array<std::uint8_t, kTrailerSize> trailer(std::uint64_t signatureSize);
};

}  // namespace vantreel::platform::codesign
