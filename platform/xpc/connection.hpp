#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tl/expected.hpp>
#include <vector>

#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/audit_token.hpp"
#include "platform/xpc/error.hpp"
#include "platform/xpc/exported_object.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/interface.hpp"
#include "platform/xpc/outgoing_queue.hpp"
#include "platform/xpc/remote_proxy.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

namespace vantreel::platform::xpc {

// One connection between a client and a service. Configure it, then resume it; it then lives
// (its thread holding it) until it is invalidated or the peer goes away. Incoming messages are
// delivered one at a time on the connection's own thread, as are the client's replies and
// error handlers.
//
// Sending never waits for the peer (see OutgoingQueue); a peer that stops reading is no longer
// read from either, and the drop notice handler hears how many one-way messages it lost.
//
// What both ends share lives here: the queue, the calls awaiting replies, and the end. How the
// socket comes to be and whom its messages may come from is the business of ClientConnection
// and ServerConnection.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Refuse a service whose process does not run as root.
  static constexpr std::uint64_t privileged = 4096;

  // Never fails: a service that is absent, refuses, or does not run as root when that was
  // asked for shows as the error of the first message.
  static std::shared_ptr<Connection> machService(const std::string& name, std::uint64_t options);

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  virtual ~Connection();

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

 protected:
  enum class Ending { invalidated, interrupted, failed };

  explicit Connection(std::string label);

  // The socket to serve once the peer is there and the handshake is done; the queue owns it.
  [[nodiscard]] virtual tl::expected<int, Error> open() = 0;
  // Whether the reader thread is due once resumed (stateMutex_ held).
  [[nodiscard]] virtual bool readerDueLocked() const = 0;
  // A pidfd whose process ending ends the connection, or -1.
  [[nodiscard]] virtual int exitWatch() const = 0;
  // The ending when a message may not be read as the peer's, or nullopt to read it.
  [[nodiscard]] virtual std::optional<Ending> judgeSender(
      const std::optional<seqpacket::Sender>& sender) = 0;
  // Whether the peer may still send, checked before each of its messages.
  [[nodiscard]] virtual bool permitsMessage() = 0;

  [[nodiscard]] bool isInvalidated() const;
  [[nodiscard]] Error endError(Ending ending) const;
  void announceDrops(std::uint64_t dropped);
  void startReaderLocked();

  const std::string label_;  // names the connection in error texts
  // Wakes the connection's thread when something was queued for it to send.
  posix::UniqueFd wake_;

  // Guards the members below, those of the sides and the private ones too; not outgoing_,
  // which has a lock of its own.
  mutable std::mutex stateMutex_;
  std::int32_t pid_ = 0;
  std::optional<AuditToken> token_;
  posix::UniqueFd pidfd_;
  std::optional<std::string> requirement_;
  bool resumed_ = false;
  bool used_ = false;  // has had a message to send
  bool started_ = false;
  bool invalidated_ = false;
  bool finished_ = false;
  int liveFd_ = -1;                   // the socket while it is open, for invalidate() to shut it
  std::shared_ptr<const void> slot_;  // held by the connection's threads while they run

  OutgoingQueue outgoing_;

 private:
  friend class Reply;
  friend class RemoteProxy;

  struct Pending {
    std::string selector;
    std::function<void(std::vector<Value>)> onReply;
    std::function<void(const Error&)> onError;
  };

  void sendCall(const std::string& selector, std::vector<Value> arguments,
                std::function<void(std::vector<Value>)> onReply,
                const std::function<void(const Error&)>& onError);
  struct EncodedCall {
    std::uint64_t id = 0;  // 0 for a one-way message
    OutgoingQueue::Message message;
  };
  // The frame of a call, or why it cannot be sent (stateMutex_ held).
  [[nodiscard]] tl::expected<EncodedCall, Error> encodeCallLocked(const std::string& selector,
                                                                  std::vector<Value>& arguments,
                                                                  bool withReply);
  void sendReply(std::uint64_t id, const std::string& selector, std::vector<Value> values);
  void sendError(std::uint64_t id);
  // Sends at once when the handshake is done and the socket takes it, else queues (or drops
  // a one-way message beyond the bound); false when it cannot be sent.
  bool deliver(OutgoingQueue::Message outgoing);
  void failPending(std::uint64_t id, const Error& error);

  void run();
  // Reads, sends and checks senders until the stream ends; the ending.
  Ending serve(int fd);
  // Reads and handles one datagram; the ending, or nullopt to go on.
  std::optional<Ending> receiveOne(int fd);
  bool handle(const Frame& frame, std::vector<posix::UniqueFd> descriptors);
  bool dispatchCall(const Frame& frame, std::vector<posix::UniqueFd>& descriptors);
  bool completeReply(const Frame& frame, std::vector<posix::UniqueFd>& descriptors);
  void finish(Ending ending, std::optional<Error> failure);

  std::optional<Interface> exportedInterface_;
  std::optional<Interface> remoteInterface_;
  std::shared_ptr<ExportedObject> exportedObject_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  std::function<void(std::uint64_t)> dropNoticeHandler_;
  std::map<std::uint64_t, Pending> pending_;
  std::uint64_t nextId_ = 1;
  std::jthread reader_;
};

}  // namespace vantreel::platform::xpc
