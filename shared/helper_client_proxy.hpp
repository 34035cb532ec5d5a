#pragma once

#include "platform/xpc/remote_proxy.hpp"
#include "shared/helper_client_protocol.hpp"

namespace vantreel {

// The daemon's view of a client: appendLog: goes out one-way and is never waited for.
class HelperClientProxy final : public HelperClientProtocol {
 public:
  explicit HelperClientProxy(platform::xpc::RemoteProxy proxy) : proxy_(std::move(proxy)) {}

  void appendLog(std::string line) override;

 private:
  platform::xpc::RemoteProxy proxy_;
};

}  // namespace vantreel
