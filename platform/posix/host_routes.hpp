#pragma once

#include <string>

#include "platform/posix/sys_error.hpp"

namespace vantreel::platform::posix {

// Asks the kernel, over a route netlink socket of the calling thread's network namespace, to
// remove the host route (a /32 of the main table, of any type, scope or origin) to ipv4, which
// is numeric dotted text. True when a route was removed, false when there was none; EINVAL for
// text that is not an IPv4 address. Waits at most a second for the kernel's answer.
[[nodiscard]] SysResult<bool> removeHostRoute(const std::string& ipv4);

}  // namespace vantreel::platform::posix
