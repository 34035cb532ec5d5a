#pragma once

#include <memory>

namespace vantreel::platform::xpc {

class Connection;
class Listener;

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  // Runs before anything from the peer is read. Answer true after configuring and resuming
  // the connection to admit it; false discards it.
  virtual bool shouldAcceptNewConnection(Listener& listener,
                                         std::shared_ptr<Connection> connection) = 0;
};

}  // namespace vantreel::platform::xpc
