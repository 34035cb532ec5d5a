#pragma once

#include <memory>
#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "platform/xpc/connection.hpp"
#include "platform/xpc/error.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

namespace vantreel::platform::xpc {

// The end that connects to a service: on its first message it connects, checks who runs the
// service (root, when that was asked for) and waits for the service's welcome.
class ClientConnection final : public Connection {
  struct Passkey {};

 public:
  static std::shared_ptr<ClientConnection> make(std::string path, std::string label, bool rootOnly);
  ClientConnection(Passkey, std::string path, std::string label, bool rootOnly);

 private:
  [[nodiscard]] tl::expected<int, Error> open() override;
  [[nodiscard]] bool readerDueLocked() const override { return used_; }
  [[nodiscard]] int exitWatch() const override { return -1; }
  [[nodiscard]] std::optional<Ending> judgeSender(
      const std::optional<seqpacket::Sender>& /*sender*/) override {
    return std::nullopt;
  }
  [[nodiscard]] bool permitsMessage() override;

  // Takes the service's identity from the kernel, and refuses a service not run as root when
  // only root would do.
  [[nodiscard]] tl::expected<void, Error> checkService(int fd);
  [[nodiscard]] tl::expected<void, Error> awaitWelcome(int fd);

  const std::string path_;  // the service's socket file
  const bool privileged_;
};

}  // namespace vantreel::platform::xpc
