#pragma once

#include <memory>

#include "helper/helper_service.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/interface.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/listener_delegate.hpp"

namespace vantreel {

// The daemon's door: admits a connection only when its peer passes caller validation, and then
// gives it a session of its own. Stateless beyond the two references it passes on.
class HelperListenerDelegate final : public platform::xpc::ListenerDelegate {
 public:
  explicit HelperListenerDelegate(
      HelperService& service = HelperService::shared(),
      platform::codesign::CodeSigning& security = platform::codesign::CodeSigning::real());

  // The interface the daemon exports on every connection.
  [[nodiscard]] static platform::xpc::Interface exportedInterface();

  bool shouldAcceptNewConnection(platform::xpc::Listener& listener,
                                 std::shared_ptr<platform::xpc::Connection> connection) override;

 private:
  HelperService& service_;
  platform::codesign::CodeSigning& security_;
};

}  // namespace vantreel
