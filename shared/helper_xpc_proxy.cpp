#include "shared/helper_xpc_proxy.hpp"

#include <string>
#include <utility>
#include <variant>

#include "platform/posix/check.hpp"
#include "platform/posix/io.hpp"
#include "platform/xpc/keyed_unarchiver.hpp"

namespace vantreel {

using platform::xpc::ArchivedObject;
using platform::xpc::Value;

HelperXPCProxy::HelperXPCProxy(const std::shared_ptr<platform::xpc::Connection>& connection,
                               ErrorHandler errorHandler)
    : proxy_(connection->remoteObjectProxyWithErrorHandler(errorHandler)),
      errorHandler_(std::move(errorHandler)) {}

void HelperXPCProxy::getVersionWithReply(VersionReply reply) {
  proxy_.send(getVersionSelector, {}, [reply = std::move(reply)](std::vector<Value> values) {
    // The transport delivers only replies of the declared kinds.
    VT_CHECK(values.size() == 1 && std::holds_alternative<std::string>(values[0]));
    reply(std::get<std::string>(std::move(values[0])));
  });
}

void HelperXPCProxy::start(HelperStartRequest request,
                           std::shared_ptr<platform::process::FileHandle> passwordPipe,
                           ResultReply reply) {
  sendWithPipe(startSelector, request.archive(), *passwordPipe, std::move(reply));
}

void HelperXPCProxy::startWithCookie(HelperCookieStartRequest request,
                                     std::shared_ptr<platform::process::FileHandle> cookiePipe,
                                     ResultReply reply) {
  sendWithPipe(cookieStartSelector, request.archive(), *cookiePipe, std::move(reply));
}

void HelperXPCProxy::sendWithPipe(const char* selector, platform::xpc::ArchivedObject request,
                                  const platform::process::FileHandle& pipe, ResultReply reply) {
  auto descriptor = platform::posix::duplicate(pipe.fileDescriptor());
  if (!descriptor) {
    errorHandler_(platform::xpc::Error(platform::xpc::Error::replyInvalid,
                                       "password pipe: " + descriptor.error().description()));
    return;
  }
  std::vector<Value> arguments;
  arguments.emplace_back(std::move(request));
  arguments.emplace_back(std::move(*descriptor));
  sendForResult(selector, std::move(arguments), std::move(reply));
}

void HelperXPCProxy::stopWithReply(ResultReply reply) {
  sendForResult(stopSelector, {}, std::move(reply));
}

void HelperXPCProxy::statusWithReply(ResultReply reply) {
  sendForResult(statusSelector, {}, std::move(reply));
}

void HelperXPCProxy::sendForResult(const char* selector, std::vector<Value> arguments,
                                   ResultReply reply) {
  proxy_.send(selector, std::move(arguments),
              [reply = std::move(reply)](std::vector<Value> values) {
                // The transport admits only a VTHelperOpResult archive here, and such an archive
                // always decodes.
                VT_CHECK(values.size() == 1 && std::holds_alternative<ArchivedObject>(values[0]));
                auto result = HelperOpResult::decode(
                    platform::xpc::KeyedUnarchiver(std::get<ArchivedObject>(values[0])));
                VT_CHECK(result.has_value());
                reply(std::move(*result));
              });
}

}  // namespace vantreel
