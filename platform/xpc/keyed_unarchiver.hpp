#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/xpc/archived_object.hpp"

namespace vantreel::platform::xpc {

// Reads one record's keys. Which classes may be decoded at all is decided before a record
// gets here (the interface's class lists); this only reads entries of the expected kind.
class KeyedUnarchiver {
 public:
  // archive must outlive the unarchiver.
  explicit KeyedUnarchiver(const ArchivedObject& archive) noexcept : archive_(archive) {}

  // The record's class name, or empty when the archive has none.
  [[nodiscard]] std::string className() const;

  // An object of the string class; nothing when the key is absent or holds anything else.
  [[nodiscard]] std::optional<std::string> decodeString(std::string_view key) const;
  // Boolean and integer entries read false and 0 when absent or of another kind.
  [[nodiscard]] bool decodeBool(std::string_view key) const;
  [[nodiscard]] std::int64_t decodeInt64(std::string_view key) const;
  [[nodiscard]] bool containsKey(std::string_view key) const;

 private:
  const ArchivedObject& archive_;
};

}  // namespace vantreel::platform::xpc
