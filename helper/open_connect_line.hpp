#pragma once

#include <string_view>

namespace vantreel {

// What a line of OpenConnect's output says about the session beyond the tunnel interface:
// OpenConnect keeps a session across a lost link or a dead peer on its own, and ends it when
// the server no longer accepts it.
enum class OpenConnectLine {
  other,
  reconnecting,  // the link is gone and OpenConnect is trying to get it back
  reconnected,   // the server took the session again
  sessionEnded,  // the server refused or ended the session: only a new sign-in helps
};

[[nodiscard]] OpenConnectLine classifyOpenConnectLine(std::string_view line);

// Whether the line names a tunnel interface (tun0, utun3, tap1): OpenConnect has one up.
[[nodiscard]] bool namesTunnelInterface(std::string_view line);

}  // namespace vantreel
