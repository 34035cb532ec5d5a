#include "platform/xpc/server_connection.hpp"

#include <utility>

#include "platform/posix/thread_reaper.hpp"
#include "platform/xpc/call_quietly.hpp"
#include "platform/xpc/frame.hpp"

namespace vantreel::platform::xpc {

ServerConnection::ServerConnection(Passkey, posix::UniqueFd socket, PeerIdentity peer,
                                   RequirementCheck check, std::shared_ptr<const void> slot,
                                   Reporter report)
    : Connection("connection from pid " + std::to_string(peer.pid)),
      check_(std::move(check)),
      report_(std::move(report)),
      peerPid_(peer.pid),
      peerKey_(seqpacket::processKey(peer.pidfd.get())) {
  pid_ = peer.pid;
  token_ = AuditToken::make(peer.pid, peer.uid, peer.gid, peer.startTime);
  pidfd_ = std::move(peer.pidfd);
  liveFd_ = socket.get();
  slot_ = std::move(slot);
  outgoing_.attach(std::move(socket));
}

std::shared_ptr<ServerConnection> ServerConnection::accepted(posix::UniqueFd socket,
                                                             PeerIdentity peer,
                                                             RequirementCheck check,
                                                             std::shared_ptr<const void> slot,
                                                             Reporter report) {
  return std::make_shared<ServerConnection>(Passkey{}, std::move(socket), std::move(peer),
                                            std::move(check), std::move(slot), std::move(report));
}

ServerConnection::~ServerConnection() {
  if (!admission_.joinable()) {
    return;
  }
  if (admission_.get_id() == std::this_thread::get_id()) {
    posix::reapThread(std::move(admission_));
  } else {
    admission_.join();
  }
}

void ServerConnection::admitOnOwnThread(
    std::function<void(const std::shared_ptr<ServerConnection>&)> admission) {
  // Under the lock, so that the thread below finds itself in admission_.
  std::scoped_lock lock(stateMutex_);
  auto self = std::static_pointer_cast<ServerConnection>(shared_from_this());
  admission_ = std::jthread([self = std::move(self), admission = std::move(admission)]() mutable {
    try {
      admission(self);
    } catch (...) {
      self->invalidate();
    }
    admission = nullptr;
    // Joined as soon as it has returned, not when the connection goes: a finished thread
    // that nobody joins keeps its stack for the life of the connection.
    std::jthread own;
    {
      // A reader thread started meanwhile holds a slot of its own.
      std::scoped_lock guard(self->stateMutex_);
      own = std::move(self->admission_);
      self->slot_.reset();
    }
    self.reset();
    posix::reapThread(std::move(own));
  });
}

ServerConnection::Admission ServerConnection::admit() {
  auto admission = Admission::closed;
  const auto opened = outgoing_.open([&admission](int socket) {
    // Anything queued now was sent before the peer was admitted, possibly by code that has
    // since exec'd the program that passed admission: it must not be read under that identity.
    auto queued = seqpacket::anythingQueued(socket);
    admission = !queued ? Admission::failed : *queued ? Admission::sentEarly : Admission::admitted;
    const auto welcome = Frame{Frame::Kind::welcome, 0, {}, {}}.encode();
    if (admission == Admission::admitted && !seqpacket::sendDatagram(socket, welcome, {}, true)) {
      admission = Admission::failed;
    }
    return admission == Admission::admitted;
  });
  if (!opened) {
    return admission;
  }
  std::scoped_lock lock(stateMutex_);
  admitted_ = true;
  startReaderLocked();
  return Admission::admitted;
}

bool ServerConnection::peerHasGone() const {
  std::scoped_lock lock(stateMutex_);
  return liveFd_ >= 0 && seqpacket::peerHungUp(liveFd_, pidfd_.get());
}

tl::expected<int, Error> ServerConnection::open() {
  std::scoped_lock lock(stateMutex_);
  return liveFd_;
}

// Closed only by finish(), which runs on the connection's thread, the one that watches it.
int ServerConnection::exitWatch() const {
  std::scoped_lock lock(stateMutex_);
  return pidfd_.get();
}

// The socket may be shared (fork, SCM_RIGHTS): who connected is not always who sends.
std::optional<Connection::Ending> ServerConnection::judgeSender(
    const std::optional<seqpacket::Sender>& sender) {
  switch (seqpacket::judgeSender(sender, peerPid_, exitWatch(), peerKey_)) {
    case seqpacket::SenderVerdict::peer:
      return std::nullopt;
    case seqpacket::SenderVerdict::peerGone:
      return Ending::interrupted;
    case seqpacket::SenderVerdict::other:
      break;
  }
  callQuietly(report_, "invalidated " + label_ + ": a message came from pid " +
                           std::to_string(sender ? sender->pid : 0) + ", not from pid " +
                           std::to_string(peerPid_));
  return Ending::invalidated;
}

bool ServerConnection::permitsMessage() {
  std::optional<std::string> requirement;
  std::optional<AuditToken> token;
  {
    std::scoped_lock lock(stateMutex_);
    requirement = requirement_;
    token = token_;
  }
  if (!requirement) {
    return true;
  }
  try {
    return check_ && token && check_(*token, *requirement);
  } catch (...) {
    return false;
  }
}

}  // namespace vantreel::platform::xpc
