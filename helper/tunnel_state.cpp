#include "helper/tunnel_state.hpp"

#include "helper/helper_log.hpp"
#include "helper/open_connect_line.hpp"

namespace vantreel {

void TunnelState::launched() {
  name_ = kAuthenticating;
  reconnecting_ = false;
}

void TunnelState::stopping() { name_ = kStopping; }

void TunnelState::ended() {
  name_ = kIdle;
  reconnecting_ = false;
}

void TunnelState::follow(std::string_view line) {
  if (namesTunnelInterface(line)) {
    name_ = kConnected;
  }
  const auto meaning = classifyOpenConnectLine(line);
  // The state itself keeps its four values; a reconnection is told beside it.
  setReconnecting(name_ == kConnected &&
                  (meaning == OpenConnectLine::reconnecting ||
                   (reconnecting_ && meaning != OpenConnectLine::reconnected)));
}

void TunnelState::setReconnecting(bool reconnecting) {
  if (reconnecting != reconnecting_) {
    HelperLog::info(reconnecting ? "OpenConnect reconnecting" : "OpenConnect reconnected");
  }
  reconnecting_ = reconnecting;
}

}  // namespace vantreel
