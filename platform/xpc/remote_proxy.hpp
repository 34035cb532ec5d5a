#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/xpc/error.hpp"
#include "platform/xpc/value.hpp"

namespace vantreel::platform::xpc {

class Connection;

// Sends messages to the peer's exported object. For a selector with a reply, exactly one of
// onReply and the proxy's error handler runs, on the connection's thread; a one-way selector
// takes an empty onReply.
class RemoteProxy {
 public:
  void send(const std::string& selector, std::vector<Value> arguments,
            std::function<void(std::vector<Value>)> onReply) const;

 private:
  friend class Connection;
  RemoteProxy(std::shared_ptr<Connection> connection,
              std::function<void(const Error&)> errorHandler)
      : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}

  std::shared_ptr<Connection> connection_;
  std::function<void(const Error&)> errorHandler_;
};

}  // namespace vantreel::platform::xpc
