#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/codesign/code_directory.hpp"

// Input: the content a signature signs. In the file check it is decoded only behind a CMS
// signature that checked out, which no mutation forges, so it is fed here directly. What
// decodes must survive a round trip unchanged.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vantreel::platform::codesign::CodeDirectory;
  const auto directory = CodeDirectory::decode(std::span(data, size));
  if (!directory) {
    return 0;
  }
  const auto again = CodeDirectory::decode(directory->encode());
  if (!again || again->identifier != directory->identifier || again->kind != directory->kind ||
      again->digest != directory->digest) {
    std::abort();
  }
  return 0;
}
