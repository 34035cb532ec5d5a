#include "platform/xpc/keyed_archiver.hpp"

namespace vantreel::platform::xpc {

KeyedArchiver::KeyedArchiver(std::string_view className) : archive_(ArchivedObject::object()) {
  archive_[kClassKey] = std::string(className);
}

void KeyedArchiver::encodeObject(std::string_view key, std::string_view text) {
  archive_[std::string(key)] = std::string(text);
}

void KeyedArchiver::encodeBool(std::string_view key, bool value) {
  archive_[std::string(key)] = value;
}

void KeyedArchiver::encodeInt64(std::string_view key, std::int64_t value) {
  archive_[std::string(key)] = value;
}

}  // namespace vantreel::platform::xpc
