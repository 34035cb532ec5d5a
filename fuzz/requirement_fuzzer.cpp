#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codesign/sec_requirement.hpp"
#include "platform/codesign/verified_signature.hpp"

// Input: a requirement text. One that compiles is evaluated against signatures that satisfy
// different clauses (one takes its identifier and Team ID from the text's first quoted string),
// and its negation, where that compiles too, must say the opposite each time.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vantreel::platform::codesign::SecRequirement;
  using vantreel::platform::codesign::VerifiedSignature;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto requirement = SecRequirement::compile(text);
  if (!requirement) {
    return 0;
  }
  if (!*requirement || (*requirement)->text() != text) {
    std::abort();
  }
  std::string quoted;
  if (const auto open = text.find('"'); open != std::string_view::npos) {
    const auto close = text.find('"', open + 1);
    quoted = std::string(
        text.substr(open + 1, close == std::string_view::npos ? close : close - open - 1));
  }
  const std::vector<VerifiedSignature> signatures = {
      {"org.vantreel.desktop", "elf", std::vector<std::uint8_t>(32), 64, "RZ4MPQ8T2D", true},
      {"", "bundle", {}, std::nullopt, std::nullopt, false},
      {quoted, "elf", {}, size, quoted, (size & 1U) != 0},
  };
  const auto negation = SecRequirement::compile("!(" + std::string(text) + ")");
  for (const auto& signature : signatures) {
    const bool holds = (*requirement)->isSatisfiedBy(signature);
    if (negation && (*negation)->isSatisfiedBy(signature) == holds) {
      std::abort();
    }
  }
  return 0;
}
