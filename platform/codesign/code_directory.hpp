#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantreel::platform::codesign {

// The signed content of a signature: which code, of which kind, with which SHA-256 digest.
// Travels as a CBOR map {"identifier": text, "kind": text, "digest": 32 bytes}; an ELF file's
// also holds "length", the number of bytes the digest covers, so that a file of another size
// is refused before it is read.
struct CodeDirectory {
  static constexpr std::string_view kKindElf = "elf";
  static constexpr std::string_view kKindBundle = "bundle";
  static constexpr std::size_t kMaxEncodedSize = 1024;
  static constexpr std::size_t kMaxIdentifierLength = 255;

  std::string identifier;
  std::string kind;
  std::vector<std::uint8_t> digest;
  std::optional<std::uint64_t> length = std::nullopt;  // for kKindElf, and only for it

  [[nodiscard]] std::vector<std::uint8_t> encode() const;
  // Nothing when the bytes are not exactly such a map or exceed kMaxEncodedSize.
  [[nodiscard]] static std::optional<CodeDirectory> decode(std::span<const std::uint8_t> bytes);

  // Letters, digits, '.', '-' and '_', 1 to kMaxIdentifierLength of them.
  [[nodiscard]] static bool isValidIdentifier(std::string_view identifier);
};

}  // namespace vantreel::platform::codesign
