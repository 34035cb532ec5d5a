#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/audit_token.hpp"
#include "platform/xpc/error.hpp"
#include "platform/xpc/exported_object.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/interface.hpp"
#include "platform/xpc/peer_identity.hpp"
#include "platform/xpc/remote_proxy.hpp"
#include "platform/xpc/requirement_check.hpp"

namespace vantreel::platform::xpc {

// One connection between a client and a service. Configure it, then resume it; it then lives
// (its thread holding it) until it is invalidated or the peer goes away. Incoming messages are
// delivered one at a time on the connection's own thread, as are the client's replies and
// error handlers.
class Connection : public std::enable_shared_from_this<Connection> {
  struct Passkey {};

 public:
  // Refuse a service whose process does not run as root.
  static constexpr std::uint64_t privileged = 4096;

  // Never fails: a service that is absent, refuses, or does not run as root when that was
  // asked for shows as the error of the first message.
  static std::shared_ptr<Connection> machService(const std::string& name, std::uint64_t options);

  Connection(Passkey, std::string path, std::string label, bool privileged);
  Connection(Passkey, posix::UniqueFd socket, PeerIdentity peer, RequirementCheck check);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // The peer's, from the kernel; 0 and nullopt before a client has connected.
  [[nodiscard]] std::int32_t processIdentifier() const;
  [[nodiscard]] std::optional<AuditToken> auditToken() const;

  // Checked (by the listener's requirement check) before every incoming message; a message
  // that fails never reaches the exported object and ends the connection.
  void setCodeSigningRequirement(std::string requirement);
  void setExportedInterface(Interface interface);
  void setRemoteObjectInterface(Interface interface);
  void setExportedObject(std::shared_ptr<ExportedObject> object);
  void setInvalidationHandler(std::function<void()> handler);
  void setInterruptionHandler(std::function<void()> handler);
  void resume();
  // Safe from any thread, the connection's own included.
  void invalidate();

  [[nodiscard]] RemoteProxy remoteObjectProxy();
  [[nodiscard]] RemoteProxy remoteObjectProxyWithErrorHandler(
      std::function<void(const Error&)> handler);

 private:
  friend class Listener;
  friend class Reply;
  friend class RemoteProxy;

  enum class Side { client, server };
  enum class Admission { admitted, closed, sentEarly, failed };
  enum class Ending { invalidated, interrupted, failed };

  struct Pending {
    std::string selector;
    std::function<void(std::vector<Value>)> onReply;
    std::function<void(const Error&)> onError;
  };
  struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::vector<posix::UniqueFd> descriptors;
  };

  static std::shared_ptr<Connection> accepted(posix::UniqueFd socket, PeerIdentity peer,
                                              RequirementCheck check);
  Admission admit();
  [[nodiscard]] bool isInvalidated() const;

  void sendCall(const std::string& selector, std::vector<Value> arguments,
                std::function<void(std::vector<Value>)> onReply,
                const std::function<void(const Error&)>& onError);
  void sendReply(std::uint64_t id, const std::string& selector, std::vector<Value> values);
  void sendError(std::uint64_t id);
  // Sends at once when the handshake is done, else queues; false when it cannot be sent.
  bool deliver(Outgoing outgoing);
  bool transmitLocked(const Outgoing& outgoing);
  void failPending(std::uint64_t id, const Error& error);
  void startReaderLocked();

  void run();
  std::optional<Error> connectClient(int& fd);
  bool handle(const Frame& frame, std::vector<posix::UniqueFd> descriptors);
  void finish(Ending ending, std::optional<Error> failure);
  [[nodiscard]] Error endError(Ending ending) const;

  const Side side_;
  const std::string path_;   // the service's socket file (client side)
  const std::string label_;  // names the connection in error texts
  const bool privileged_ = false;
  const RequirementCheck check_;

  mutable std::mutex stateMutex_;  // guards every member from here to sendMutex_
  std::int32_t pid_ = 0;
  std::optional<AuditToken> token_;
  posix::UniqueFd pidfd_;
  std::optional<std::string> requirement_;
  std::optional<Interface> exportedInterface_;
  std::optional<Interface> remoteInterface_;
  std::shared_ptr<ExportedObject> exportedObject_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  std::map<std::uint64_t, Pending> pending_;
  std::uint64_t nextId_ = 1;
  bool resumed_ = false;
  bool admitted_ = false;  // a server connection past the handshake
  bool used_ = false;      // a client connection that has had a message to send
  bool started_ = false;
  bool invalidated_ = false;
  bool finished_ = false;
  int liveFd_ = -1;  // the socket while it is open, for invalidate() to shut it down
  std::jthread reader_;

  std::mutex sendMutex_;  // guards socket_, ready_, sendClosed_, outbox_
  posix::UniqueFd socket_;
  bool ready_ = false;  // the handshake is done: frames may go out
  bool sendClosed_ = false;
  std::vector<Outgoing> outbox_;
};

}  // namespace vantreel::platform::xpc
