#pragma once

#include <chrono>
#include <cstddef>
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
#include "platform/xpc/outgoing_queue.hpp"
#include "platform/xpc/peer_identity.hpp"
#include "platform/xpc/remote_proxy.hpp"
#include "platform/xpc/requirement_check.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

namespace vantreel::platform::xpc {

// One connection between a client and a service. Configure it, then resume it; it then lives
// (its thread holding it) until it is invalidated or the peer goes away. Incoming messages are
// delivered one at a time on the connection's own thread, as are the client's replies and
// error handlers.
//
// Sending never waits for the peer (see OutgoingQueue); a peer that stops reading is no longer
// read from either, and the drop notice handler hears how many one-way messages it lost.
class Connection : public std::enable_shared_from_this<Connection> {
  struct Passkey {};

 public:
  // Refuse a service whose process does not run as root.
  static constexpr std::uint64_t privileged = 4096;
  // Told of refusals and foreign senders after admission, as full texts for the log.
  using Reporter = std::function<void(const std::string& text)>;

  // Never fails: a service that is absent, refuses, or does not run as root when that was
  // asked for shows as the error of the first message.
  static std::shared_ptr<Connection> machService(const std::string& name, std::uint64_t options);

  Connection(Passkey, std::string path, std::string label, bool privileged);
  Connection(Passkey, posix::UniqueFd socket, PeerIdentity peer, RequirementCheck check,
             std::shared_ptr<const void> slot, Reporter report);
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
  // Runs, on no lock, after one-way messages were dropped for a peer that did not read, once
  // it has read everything queued since; gets how many were dropped.
  void setDropNoticeHandler(std::function<void(std::uint64_t dropped)> handler);
  void resume();
  // Safe from any thread, the connection's own included.
  void invalidate();
  // Waits until everything queued so far has left, the connection has ended, or the deadline
  // has passed; true when nothing is left to send. For a process about to end, so that the
  // replies it has just queued still reach their peers.
  bool awaitSent(std::chrono::steady_clock::time_point deadline);

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

  // slot is held by the connection's threads, and let go when the last of them ends.
  static std::shared_ptr<Connection> accepted(posix::UniqueFd socket, PeerIdentity peer,
                                              RequirementCheck check,
                                              std::shared_ptr<const void> slot, Reporter report);
  // Runs admission (the delegate's check, then admit()) on a thread of the connection's own,
  // so that no other connection waits for it.
  void admitOnOwnThread(std::function<void(const std::shared_ptr<Connection>&)> admission);
  Admission admit();
  [[nodiscard]] bool isInvalidated() const;
  // The peer closed its end or its process has ended, perhaps while one of its messages is
  // still being handled.
  [[nodiscard]] bool peerHasGone() const;

  void sendCall(const std::string& selector, std::vector<Value> arguments,
                std::function<void(std::vector<Value>)> onReply,
                const std::function<void(const Error&)>& onError);
  void sendReply(std::uint64_t id, const std::string& selector, std::vector<Value> values);
  void sendError(std::uint64_t id);
  // Sends at once when the handshake is done and the socket takes it, else queues (or drops
  // a one-way message beyond the bound); false when it cannot be sent.
  bool deliver(OutgoingQueue::Message outgoing);
  void announceDrops(std::uint64_t dropped);
  void failPending(std::uint64_t id, const Error& error);
  void startReaderLocked();

  void run();
  // Reads, sends and checks senders until the stream ends; the ending.
  Ending serve(int fd);
  std::optional<Error> connectClient(int& fd);
  bool handle(const Frame& frame, std::vector<posix::UniqueFd> descriptors);
  void finish(Ending ending, std::optional<Error> failure);
  [[nodiscard]] Error endError(Ending ending) const;

  const Side side_;
  const std::string path_;   // the service's socket file (client side)
  const std::string label_;  // names the connection in error texts
  const bool privileged_ = false;
  const RequirementCheck check_;
  const Reporter report_;
  // Wakes the connection's thread when something was queued for it to send.
  posix::UniqueFd wake_;

  mutable std::mutex stateMutex_;  // guards every member from here to outgoing_
  std::int32_t pid_ = 0;
  std::optional<AuditToken> token_;
  posix::UniqueFd pidfd_;
  std::optional<std::string> requirement_;
  std::optional<Interface> exportedInterface_;
  std::optional<Interface> remoteInterface_;
  std::shared_ptr<ExportedObject> exportedObject_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  std::function<void(std::uint64_t)> dropNoticeHandler_;
  std::optional<seqpacket::ProcessKey> peerKey_;
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
  std::jthread admission_;
  std::shared_ptr<const void> slot_;  // until the threads above have taken it

  OutgoingQueue outgoing_;
};

}  // namespace vantreel::platform::xpc
