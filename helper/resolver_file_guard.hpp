#pragma once

#include <functional>
#include <memory>
#include <string>

#include "helper/open_connect_runner.hpp"

namespace vantreel {

// The installed service sees the resolver file as it was when it started: the unit makes that
// one file writable in an otherwise read-only system, and a file renamed over it since (what a
// DHCP client or a network manager does) is read-only to the daemon and its routing script,
// which then could no longer set the VPN's resolver. So once no tunnel runs any more, the
// daemon should end with exitStatus, and the service manager (Restart=on-failure) starts it
// again with a view of the new file.
class ResolverFileGuard {
 public:
  static constexpr int exitStatus = 75;

  // Watches path from a thread of its own when the daemon may write it now; where nothing
  // confines the daemon the file stays writable and the guard never acts. Once the file has
  // become read-only and no tunnel runs, calls endDaemon, once: the daemon's own end then
  // answers what it is still serving, as it does for a service manager's stop.
  static void start(std::shared_ptr<OpenConnectRunner> runner, std::function<void()> endDaemon,
                    const std::string& path = "/etc/resolv.conf");
};

}  // namespace vantreel
