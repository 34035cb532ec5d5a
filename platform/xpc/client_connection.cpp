#include "platform/xpc/client_connection.hpp"

#include <utility>

#include "platform/xpc/frame.hpp"

namespace vantreel::platform::xpc {

std::shared_ptr<ClientConnection> ClientConnection::make(std::string path, std::string label,
                                                         bool rootOnly) {
  return std::make_shared<ClientConnection>(Passkey{}, std::move(path), std::move(label), rootOnly);
}

ClientConnection::ClientConnection(Passkey, std::string path, std::string label, bool rootOnly)
    : Connection(std::move(label)), path_(std::move(path)), privileged_(rootOnly) {}

tl::expected<int, Error> ClientConnection::open() {
  if (path_.empty()) {
    return tl::unexpected(Error(Error::invalid, "connect " + label_ + ": invalid service name"));
  }
  auto connected = seqpacket::connectTo(path_);
  if (!connected) {
    return tl::unexpected(Error(Error::invalid, connected.error().description()));
  }
  const int fd = connected->get();
  outgoing_.attach(std::move(*connected));
  {
    std::scoped_lock lock(stateMutex_);
    liveFd_ = fd;
    if (invalidated_) {
      return tl::unexpected(endError(Ending::invalidated));
    }
  }
  if (auto checked = checkService(fd); !checked) {
    return tl::unexpected(checked.error());
  }
  if (auto welcomed = awaitWelcome(fd); !welcomed) {
    return tl::unexpected(welcomed.error());
  }
  const auto dropped = outgoing_.open([](int /*socket*/) { return true; });
  if (!dropped) {
    return tl::unexpected(endError(Ending::invalidated));
  }
  announceDrops(*dropped);
  return fd;
}

tl::expected<void, Error> ClientConnection::checkService(int fd) {
  auto peer = seqpacket::peerIdentity(fd);
  if (!peer) {
    return tl::unexpected(
        Error(Error::invalid, "connect " + path_ + ": " + peer.error().description()));
  }
  if (privileged_ && peer->uid != 0) {
    return tl::unexpected(Error(Error::invalid, "connect " + path_ + ": service runs as uid " +
                                                    std::to_string(peer->uid) + ", not as root"));
  }
  std::scoped_lock lock(stateMutex_);
  pid_ = peer->pid;
  token_ = AuditToken::make(peer->pid, peer->uid, peer->gid, peer->startTime);
  pidfd_ = std::move(peer->pidfd);
  return {};
}

tl::expected<void, Error> ClientConnection::awaitWelcome(int fd) {
  auto first = seqpacket::receiveDatagram(fd);
  std::optional<Frame> welcome;
  if (first && !first->endOfStream && !first->truncated && first->descriptors.empty()) {
    welcome = Frame::decode(first->bytes);
  }
  if (welcome && welcome->kind == Frame::Kind::welcome) {
    return {};
  }
  if (isInvalidated()) {
    return tl::unexpected(endError(Ending::invalidated));
  }
  return tl::unexpected(Error(Error::invalid, "connect " + path_ + ": refused by the service"));
}

// A client has no check of its own to run: a requirement set on it lets no message through.
bool ClientConnection::permitsMessage() {
  std::scoped_lock lock(stateMutex_);
  return !requirement_;
}

}  // namespace vantreel::platform::xpc
