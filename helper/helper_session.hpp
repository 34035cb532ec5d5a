#pragma once

#include <memory>
#include <string>

#include "helper/helper_service.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/helper_start_request.hpp"
#include "shared/helper_xpc_protocol.hpp"

namespace vantreel {

// What the daemon exports on one admitted connection. It keeps no tunnel state of its own: the
// runner and the service hold it. Every operation but the version checks the caller's code
// signature again first.
class HelperSession final : public HelperXPCProtocol {
 public:
  // The reply to a cookie start whose session the server refused or ended.
  static constexpr const char* sessionEndedMessage =
      "the server ended the session: sign in again (--sign-in)";

  explicit HelperSession(
      std::shared_ptr<platform::xpc::Connection> connection,
      HelperService& service = HelperService::shared(),
      platform::codesign::CodeSigning& security = platform::codesign::CodeSigning::real());

  void getVersionWithReply(VersionReply reply) override;
  // Replies at once when the start fails; otherwise only when OpenConnect has exited.
  void start(HelperStartRequest request,
             std::shared_ptr<platform::process::FileHandle> passwordPipe,
             ResultReply reply) override;
  void stopWithReply(ResultReply reply) override;
  void statusWithReply(ResultReply reply) override;
  // As start, for a session the user signed in to without the daemon.
  void startWithCookie(HelperCookieStartRequest request,
                       std::shared_ptr<platform::process::FileHandle> cookiePipe,
                       ResultReply reply) override;

 private:
  // The steps both starts share; server names the tunnel in the log.
  void startTunnel(const OpenConnectRunner::StartRequest& request, const std::string& server,
                   const std::shared_ptr<platform::process::FileHandle>& secretPipe,
                   const ResultReply& reply);
  // Lines for the client of a running tunnel. Holds the connection weakly: the runner keeps
  // its handler after the tunnel ends, and must not keep a finished connection alive.
  [[nodiscard]] OpenConnectRunner::LogHandler logHandlerForClient() const;

  const std::shared_ptr<platform::xpc::Connection> connection;
  HelperService& service_;
  platform::codesign::CodeSigning& security_;
};

}  // namespace vantreel
