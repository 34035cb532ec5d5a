#pragma once

#include <nlohmann/json.hpp>

namespace vantreel::platform::xpc {

// A keyed archive as it travels in a frame: a map whose "$class" entry names the record's
// class and whose other entries are the record's keys. A string object is a text, a Boolean
// entry a bool, a 64-bit integer entry an integer.
using ArchivedObject = nlohmann::json;

inline constexpr const char* kClassKey = "$class";

}  // namespace vantreel::platform::xpc
