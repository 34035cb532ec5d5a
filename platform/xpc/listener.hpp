#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tl/expected.hpp>

#include "platform/xpc/error.hpp"
#include "platform/xpc/listener_delegate.hpp"
#include "platform/xpc/requirement_check.hpp"

namespace vantreel::platform::xpc {

// Accepts connections on a service's socket file, or on the socket a service manager handed
// over. One acceptor thread only accepts; each connection runs the delegate on a thread of its
// own, before anything the peer sent is read, and is then served there.
class Listener {
 public:
  using RefusalHandler = std::function<void(std::int32_t pid, const std::string& reason)>;
  using FailureHandler = std::function<void(const std::string& reason)>;

  explicit Listener(std::string serviceName);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  // Stops accepting and invalidates every connection still open. Safe from any thread,
  // handlers of its own connections and its delegate included.
  ~Listener();

  // Held weakly: the program keeps the delegate alive. Without one every connection is refused.
  void setDelegate(std::weak_ptr<ListenerDelegate> delegate);
  // Connections beyond this many open ones are closed at once, before the delegate sees them.
  // A connection counts until its thread has ended; those whose peer has gone while a call of
  // theirs still runs count against a second allowance of the same size.
  void setMaximumConnections(std::size_t maximum);
  // No user but the service's own may hold more than this many of them.
  void setMaximumConnectionsPerUser(std::size_t share);
  // Told of connections refused by the listener itself (not by the delegate), the first of a
  // burst in full and the rest as one count, and of trouble accepting; pid 0 when none applies.
  void setRefusalHandler(RefusalHandler handler);
  // Told once, on the acceptor's thread, when no connection can be accepted any more.
  void setFailureHandler(FailureHandler handler);
  // Used by the connections to check their code-signing requirement.
  void setRequirementCheck(RequirementCheck check);

  [[nodiscard]] tl::expected<void, Error> resume();
  void invalidate();
  // Waits, at most until the deadline, for every open connection to have sent what it queued.
  void awaitSent(std::chrono::steady_clock::time_point deadline);

  [[nodiscard]] const std::string& serviceName() const noexcept { return name_; }

 private:
  struct Core;
  std::string name_;
  std::shared_ptr<Core> core_;
};

}  // namespace vantreel::platform::xpc
