#pragma once

#include <memory>

#include "helper/calls_in_progress.hpp"
#include "helper/open_connect_runner.hpp"
#include "platform/xpc/connection.hpp"

namespace vantreel {

// The daemon's one tunnel: its only runner, which also records the connection that launched
// the running tunnel, so that the tunnel goes when that connection does.
class HelperService {
 public:
  // Created on first use and never destroyed.
  static HelperService& shared();

  explicit HelperService(std::shared_ptr<OpenConnectRunner> tunnelRunner);
  HelperService(const HelperService&) = delete;
  HelperService& operator=(const HelperService&) = delete;

  // Stops the tunnel when connection (this very object) launched it and it still runs;
  // otherwise does nothing. A tunnel started later by another connection is never touched.
  void dropConnection(const std::shared_ptr<platform::xpc::Connection>& connection);

  const std::shared_ptr<OpenConnectRunner> runner;
  // The sessions' calls under way; the daemon's end waits for their replies.
  CallsInProgress calls;
};

}  // namespace vantreel
