#pragma once

#include <cstddef>

#include "platform/posix/sys_error.hpp"

namespace vantreel::platform::posix {

// Raises the soft limit on open descriptors to at least `wanted`, as far as the hard limit
// allows; never lowers it. The limit now in force.
[[nodiscard]] SysResult<std::size_t> raiseDescriptorLimit(std::size_t wanted);

}  // namespace vantreel::platform::posix
