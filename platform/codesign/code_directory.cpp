#include "platform/codesign/code_directory.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace vantreel::platform::codesign {

std::vector<std::uint8_t> CodeDirectory::encode() const {
  nlohmann::json map = nlohmann::json::object();
  map["identifier"] = identifier;
  map["kind"] = kind;
  map["digest"] = nlohmann::json::binary(digest);
  if (length) {
    map["length"] = *length;
  }
  return nlohmann::json::to_cbor(map);
}

std::optional<CodeDirectory> CodeDirectory::decode(std::span<const std::uint8_t> bytes) {
  // The size bound also bounds the nesting the CBOR reader recurses through.
  if (bytes.size() > kMaxEncodedSize) {
    return std::nullopt;
  }
  nlohmann::json map;
  try {
    map = nlohmann::json::from_cbor(bytes.begin(), bytes.end(), true, false);
  } catch (const nlohmann::json::exception&) {
    // Even with exceptions off, the reader throws for a declared length beyond max_size()
    // (out_of_range 408). Anyone can sign content with a key of their own, so these bytes are
    // the caller's.
    return std::nullopt;
  }
  if (map.is_discarded() || !map.is_object() || map.size() < 3 || map.size() > 4) {
    return std::nullopt;
  }
  const auto identifier = map.find("identifier");
  const auto kind = map.find("kind");
  const auto digest = map.find("digest");
  if (identifier == map.end() || !identifier->is_string() || kind == map.end() ||
      !kind->is_string() || digest == map.end() || !digest->is_binary() ||
      digest->get_binary().size() != 32) {
    return std::nullopt;
  }
  CodeDirectory out;
  out.identifier = identifier->get<std::string>();
  out.kind = kind->get<std::string>();
  out.digest.assign(digest->get_binary().begin(), digest->get_binary().end());
  if (!isValidIdentifier(out.identifier) || (out.kind != kKindElf && out.kind != kKindBundle)) {
    return std::nullopt;
  }
  const auto length = map.find("length");
  if ((length != map.end()) != (out.kind == kKindElf) ||
      (length != map.end() && !length->is_number_unsigned())) {
    return std::nullopt;
  }
  if (length != map.end()) {
    out.length = length->get<std::uint64_t>();
  }
  return out;
}

bool CodeDirectory::isValidIdentifier(std::string_view identifier) {
  return !identifier.empty() && identifier.size() <= kMaxIdentifierLength &&
         std::all_of(identifier.begin(), identifier.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
         });
}

}  // namespace vantreel::platform::codesign
