#include "helper/helper_listener_delegate.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "helper/caller_validation.hpp"
#include "helper/helper_log.hpp"
#include "helper/helper_session.hpp"
#include "shared/constants.hpp"
#include "shared/helper_client_protocol.hpp"
#include "shared/helper_client_proxy.hpp"
#include "shared/helper_xpc_dispatcher.hpp"
#include "shared/helper_xpc_protocol.hpp"

namespace vantreel {

HelperListenerDelegate::HelperListenerDelegate(HelperService& service,
                                               platform::codesign::CodeSigning& security)
    : service_(service), security_(security) {}

platform::xpc::Interface HelperListenerDelegate::exportedInterface() {
  return HelperXPCProtocol::makeInterface();
}

bool HelperListenerDelegate::shouldAcceptNewConnection(
    platform::xpc::Listener& /*listener*/, std::shared_ptr<platform::xpc::Connection> connection) {
  HelperLog::info("incoming XPC connection from pid " +
                  std::to_string(connection->processIdentifier()));
  if (auto validated = CallerValidation::verify(*connection, security_); !validated) {
    HelperLog::error("rejected connection: " + validated.error().errorDescription());
    return false;
  }

  connection->setCodeSigningRequirement(Constants::codeSigningRequirement());
  connection->setExportedInterface(exportedInterface());
  connection->setRemoteObjectInterface(HelperClientProtocol::makeInterface());
  connection->setExportedObject(std::make_shared<HelperXPCDispatcher>(
      std::make_shared<HelperSession>(connection, service_, security_)));
  // Both handlers hold the connection until the transport lets go of them when it ends, which
  // then releases the connection and its session.
  HelperService* const service = &service_;
  connection->setInvalidationHandler(
      [service, connection] { service->dropConnection(connection); });
  connection->setInterruptionHandler(
      [service, connection] { service->dropConnection(connection); });
  // A client that stopped reading lost the lines beyond its queue; it is told how many as soon
  // as it has read the rest.
  std::weak_ptr<platform::xpc::Connection> client = connection;
  connection->setDropNoticeHandler([client](std::uint64_t dropped) {
    if (auto alive = client.lock()) {
      HelperClientProxy(alive->remoteObjectProxy())
          .appendLog("dropped " + std::to_string(dropped) +
                     " log lines while the client was not reading");
    }
  });
  connection->resume();

  HelperLog::info("accepted XPC connection from a signed Vantreel caller");
  return true;
}

}  // namespace vantreel
