#include "platform/xpc/keyed_unarchiver.hpp"

#include <limits>

namespace vantreel::platform::xpc {
namespace {

const ArchivedObject* entry(const ArchivedObject& archive, std::string_view key) {
  if (!archive.is_object() || key == kClassKey) {
    return nullptr;
  }
  const auto it = archive.find(key);
  return it == archive.end() ? nullptr : &*it;
}

}  // namespace

std::string KeyedUnarchiver::className() const {
  if (!archive_.is_object()) {
    return {};
  }
  const auto it = archive_.find(kClassKey);
  return (it != archive_.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) const {
  const auto* value = entry(archive_, key);
  if (value == nullptr || !value->is_string()) {
    return std::nullopt;
  }
  return value->get<std::string>();
}

bool KeyedUnarchiver::decodeBool(std::string_view key) const {
  const auto* value = entry(archive_, key);
  return value != nullptr && value->is_boolean() && value->get<bool>();
}

std::int64_t KeyedUnarchiver::decodeInt64(std::string_view key) const {
  const auto* value = entry(archive_, key);
  if (value == nullptr) {
    return 0;
  }
  if (value->is_number_integer() && !value->is_number_unsigned()) {
    return value->get<std::int64_t>();
  }
  // CBOR carries non-negative integers as unsigned; anything beyond int64 is not an int64.
  if (value->is_number_unsigned()) {
    const auto u = value->get<std::uint64_t>();
    return u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? static_cast<std::int64_t>(u)
               : 0;
  }
  return 0;
}

bool KeyedUnarchiver::containsKey(std::string_view key) const {
  return entry(archive_, key) != nullptr;
}

}  // namespace vantreel::platform::xpc
