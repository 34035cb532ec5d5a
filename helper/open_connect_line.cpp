#include "helper/open_connect_line.hpp"

#include <array>
#include <utility>

namespace vantreel {

OpenConnectLine classifyOpenConnectLine(std::string_view line) {
  // OpenConnect's own wording (version 9), without its translations: the daemon runs it with
  // LANG=en_US.UTF-8.
  static constexpr std::array<std::pair<std::string_view, OpenConnectLine>, 7> kFragments{{
      {"Cookie was rejected by server", OpenConnectLine::sessionEnded},
      {"Session terminated by server", OpenConnectLine::sessionEnded},
      {"Cookie is no longer valid", OpenConnectLine::sessionEnded},
      // A dead DTLS peer only moves the traffic to the TLS channel: no reconnection.
      {"CSTP Dead Peer Detection detected dead peer", OpenConnectLine::reconnecting},
      {"remaining timeout", OpenConnectLine::reconnecting},
      {"User requested reconnect", OpenConnectLine::reconnecting},
      {"CSTP connected.", OpenConnectLine::reconnected},
  }};
  for (const auto& [fragment, meaning] : kFragments) {
    if (line.find(fragment) != std::string_view::npos) {
      return meaning;
    }
  }
  return OpenConnectLine::other;
}

}  // namespace vantreel
