#pragma once

#include <functional>
#include <string>

#include "platform/xpc/audit_token.hpp"

namespace vantreel::platform::xpc {

// Answers whether the code now running as the peer named by the token satisfies the
// requirement text. Runs on a connection's thread before each of its incoming messages.
using RequirementCheck = std::function<bool(const AuditToken&, const std::string& requirement)>;

}  // namespace vantreel::platform::xpc
