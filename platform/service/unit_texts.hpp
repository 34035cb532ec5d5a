#pragma once

#include <string_view>

namespace vantreel::platform::service {

// The systemd units of the daemon as written in units/*.in, comments included, with their
// @label@, @program@, @state@ and @socket@ still to be filled in.
[[nodiscard]] std::string_view serviceUnitTemplate();
[[nodiscard]] std::string_view socketUnitTemplate();

}  // namespace vantreel::platform::service
