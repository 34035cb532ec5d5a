#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/xpc/archived_object.hpp"

namespace vantreel::platform::xpc {

// Writes one record's keys, in the order the record encodes them.
class KeyedArchiver {
 public:
  explicit KeyedArchiver(std::string_view className);

  void encodeObject(std::string_view key, std::string_view text);  // an object of the string class
  void encodeBool(std::string_view key, bool value);
  void encodeInt64(std::string_view key, std::int64_t value);

  // The archive written so far.
  [[nodiscard]] const ArchivedObject& archive() const noexcept { return archive_; }
  [[nodiscard]] ArchivedObject take() && { return std::move(archive_); }

 private:
  ArchivedObject archive_;
};

}  // namespace vantreel::platform::xpc
