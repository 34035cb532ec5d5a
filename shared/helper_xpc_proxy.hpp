#pragma once

#include <functional>
#include <memory>

#include "platform/xpc/connection.hpp"
#include "platform/xpc/error.hpp"
#include "platform/xpc/remote_proxy.hpp"
#include "shared/helper_xpc_protocol.hpp"

namespace vantreel {

// A client's view of the daemon: each call becomes one message on the connection. For every
// call exactly one of its reply or the error handler runs, on the connection's thread.
class HelperXPCProxy final : public HelperXPCProtocol {
 public:
  using ErrorHandler = std::function<void(const platform::xpc::Error&)>;

  HelperXPCProxy(const std::shared_ptr<platform::xpc::Connection>& connection,
                 ErrorHandler errorHandler);

  void getVersionWithReply(VersionReply reply) override;
  // Sends a duplicate of the pipe's descriptor; the caller keeps its handle.
  void start(HelperStartRequest request,
             std::shared_ptr<platform::process::FileHandle> passwordPipe,
             ResultReply reply) override;
  void stopWithReply(ResultReply reply) override;
  void statusWithReply(ResultReply reply) override;
  // As start: sends a duplicate of the pipe's descriptor.
  void startWithCookie(HelperCookieStartRequest request,
                       std::shared_ptr<platform::process::FileHandle> cookiePipe,
                       ResultReply reply) override;

 private:
  void sendWithPipe(const char* selector, platform::xpc::ArchivedObject request,
                    const platform::process::FileHandle& pipe, ResultReply reply);
  void sendForResult(const char* selector, std::vector<platform::xpc::Value> arguments,
                     ResultReply reply);

  platform::xpc::RemoteProxy proxy_;
  ErrorHandler errorHandler_;
};

}  // namespace vantreel
