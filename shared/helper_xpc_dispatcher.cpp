#include "shared/helper_xpc_dispatcher.hpp"

#include <utility>
#include <variant>

#include "platform/posix/check.hpp"
#include "platform/xpc/keyed_unarchiver.hpp"

namespace vantreel {

using platform::xpc::ArchivedObject;
using platform::xpc::Reply;
using platform::xpc::Value;

namespace {

// The transport's Reply is move-only; the protocol's replies are copyable functions. Sharing
// the Reply keeps the exactly-once promise: a reply function dropped uncalled drops the Reply,
// which answers the caller with an error.
HelperXPCProtocol::ResultReply resultReply(Reply reply) {
  auto shared = std::make_shared<Reply>(std::move(reply));
  return [shared](const HelperOpResult& result) {
    std::vector<Value> values;
    values.emplace_back(result.archive());
    shared->send(std::move(values));
  };
}

}  // namespace

HelperXPCDispatcher::HelperXPCDispatcher(std::shared_ptr<HelperXPCProtocol> target)
    : target_(std::move(target)) {
  VT_CHECK(target_ != nullptr);
}

void HelperXPCDispatcher::dispatch(const std::string& selector, std::vector<Value> arguments,
                                   Reply reply) {
  if (selector == HelperXPCProtocol::getVersionSelector) {
    auto shared = std::make_shared<Reply>(std::move(reply));
    target_->getVersionWithReply([shared](std::string version) {
      std::vector<Value> values;
      values.emplace_back(std::move(version));
      shared->send(std::move(values));
    });
  } else if (selector == HelperXPCProtocol::startSelector) {
    VT_CHECK(arguments.size() == 2);
    auto request = HelperStartRequest::decode(
        platform::xpc::KeyedUnarchiver(std::get<ArchivedObject>(arguments[0])));
    if (!request) {
      // A start never runs without its request. Dropping the reply answers the caller with an
      // error, and the descriptor closes with the arguments.
      return;
    }
    auto pipe = std::make_shared<platform::process::FileHandle>(
        std::get<platform::posix::UniqueFd>(std::move(arguments[1])));
    target_->start(std::move(*request), std::move(pipe), resultReply(std::move(reply)));
  } else if (selector == HelperXPCProtocol::cookieStartSelector) {
    VT_CHECK(arguments.size() == 2);
    auto request = HelperCookieStartRequest::decode(
        platform::xpc::KeyedUnarchiver(std::get<ArchivedObject>(arguments[0])));
    if (!request) {
      return;  // as for a start without its request
    }
    auto pipe = std::make_shared<platform::process::FileHandle>(
        std::get<platform::posix::UniqueFd>(std::move(arguments[1])));
    target_->startWithCookie(std::move(*request), std::move(pipe), resultReply(std::move(reply)));
  } else if (selector == HelperXPCProtocol::stopSelector) {
    target_->stopWithReply(resultReply(std::move(reply)));
  } else if (selector == HelperXPCProtocol::statusSelector) {
    target_->statusWithReply(resultReply(std::move(reply)));
  }
  // The exported interface admits no other selector.
}

}  // namespace vantreel
