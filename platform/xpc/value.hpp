#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/archived_object.hpp"

namespace vantreel::platform::xpc {

// One argument or reply value. A descriptor travels as SCM_RIGHTS: the sender's copy is closed
// once the message has left, and the receiver owns the duplicate it gets.
using Value = std::variant<std::string, bool, std::int64_t, ArchivedObject, posix::UniqueFd>;

}  // namespace vantreel::platform::xpc
