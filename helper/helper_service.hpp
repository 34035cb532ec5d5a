#pragma once

#include <memory>
#include <mutex>

#include "helper/open_connect_runner.hpp"
#include "platform/xpc/connection.hpp"

namespace vantreel {

// The daemon's one tunnel: its only runner, and which connection launched the running tunnel,
// so that the tunnel goes when that connection does.
class HelperService {
 public:
  // Created on first use and never destroyed.
  static HelperService& shared();

  explicit HelperService(std::shared_ptr<OpenConnectRunner> tunnelRunner);
  HelperService(const HelperService&) = delete;
  HelperService& operator=(const HelperService&) = delete;

  void markTunnelOwner(const std::shared_ptr<platform::xpc::Connection>& connection);
  // Stops the tunnel when connection (this very object) launched it; otherwise does nothing.
  void dropConnection(const std::shared_ptr<platform::xpc::Connection>& connection);

  const std::shared_ptr<OpenConnectRunner> runner;

 private:
  std::mutex lock;  // guards tunnelOwner
  // Weak, so that it never keeps a finished connection (and its peer's pidfd) alive.
  std::weak_ptr<platform::xpc::Connection> tunnelOwner;
};

}  // namespace vantreel
