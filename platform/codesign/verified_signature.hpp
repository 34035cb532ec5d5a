#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantreel::platform::codesign {

// What a signature whose CMS signature checked out says about the code it covers. The digest
// is what the signer claims; whether the code still matches it is decided by the caller.
struct VerifiedSignature {
  std::string identifier;
  std::string kind;
  std::vector<std::uint8_t> digest;
  // How many bytes of an ELF file the digest covers.
  std::optional<std::uint64_t> length;
  // The leaf certificate's subject OU; absent when it has none or more than one.
  std::optional<std::string> teamID;
  // The chain reaches a compiled-in anchor and the leaf may sign code.
  bool anchored = false;
};

}  // namespace vantreel::platform::codesign
