#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tl/expected.hpp>

#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/error.hpp"
#include "platform/xpc/peer_identity.hpp"
#include "platform/xpc/requirement_check.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

namespace vantreel::platform::xpc {

// The service's end of a connection a listener accepted. Nothing the peer sends is read until
// it is admitted; from then on every message must come from the process that connected, and
// that process must still satisfy the connection's code-signing requirement.
class ServerConnection final : public Connection {
  struct Passkey {};

 public:
  // Told of foreign senders after admission, as full texts for the log.
  using Reporter = std::function<void(const std::string& text)>;

  ServerConnection(Passkey, posix::UniqueFd socket, PeerIdentity peer, RequirementCheck check,
                   std::shared_ptr<const void> slot, Reporter report);
  ~ServerConnection() override;

 private:
  friend class Listener;

  enum class Admission { admitted, closed, sentEarly, failed };

  // slot is held by the connection's threads, and let go when the last of them ends.
  static std::shared_ptr<ServerConnection> accepted(posix::UniqueFd socket, PeerIdentity peer,
                                                    RequirementCheck check,
                                                    std::shared_ptr<const void> slot,
                                                    Reporter report);
  // Runs admission (the delegate's check, then admit()) on a thread of the connection's own,
  // so that no other connection waits for it.
  void admitOnOwnThread(std::function<void(const std::shared_ptr<ServerConnection>&)> admission);
  Admission admit();
  // The peer closed its end or its process has ended, perhaps while one of its messages is
  // still being handled.
  [[nodiscard]] bool peerHasGone() const;

  [[nodiscard]] tl::expected<int, Error> open() override;
  [[nodiscard]] bool readerDueLocked() const override { return admitted_; }
  [[nodiscard]] int exitWatch() const override;
  [[nodiscard]] std::optional<Ending> judgeSender(
      const std::optional<seqpacket::Sender>& sender) override;
  [[nodiscard]] bool permitsMessage() override;

  const RequirementCheck check_;
  const Reporter report_;
  const std::int32_t peerPid_;
  const std::optional<seqpacket::ProcessKey> peerKey_;
  bool admitted_ = false;   // past the handshake; guarded by stateMutex_
  std::jthread admission_;  // guarded by stateMutex_
};

}  // namespace vantreel::platform::xpc
