#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/service/layout.hpp"

namespace vantreel {

// Where the runner's preparations read and write, and what they run. The daemon's comes from
// the running system's service layout; tests put scratch directories and stand-ins in.
struct RunnerSettings {
  // Holds the exported root certificates; created 0755 when missing.
  std::string exportDirectory;
  platform::service::Layout::CertificateSource certificateSource;
  // Removes the host route to one IPv4 address: true when there was one. Empty: none is.
  std::function<bool(const std::string& address)> removeHostRoute;
  // The IPv4 addresses of a host name, and how long the route step waits for them; empty
  // means the system resolver.
  std::function<std::vector<std::string>(const std::string& host)> hostLookup;
  std::chrono::milliseconds hostLookupBound{std::chrono::seconds(10)};
  // Each start copies the verified programs into a fresh 0700 directory below this one.
  std::string copiesDirectory;
  // The running child (pid, start time, copy directory) is written here while it runs, so
  // that a later instance can stop it when this one died without doing so; empty: nowhere.
  std::string tunnelRecord;
  // Where the routing script keeps what undoing the tunnel's network changes needs, root's
  // only and kept across reboots; empty: nothing is kept and no disconnect is replayed.
  std::string keptDirectory;
  // How long a replayed disconnect may run before it is killed.
  std::chrono::milliseconds disconnectBound{std::chrono::seconds(5)};
  // The machine's current boot; empty means the system's own.
  std::function<std::string()> bootId;
  // How long a start waits for the password pipe to be closed or filled.
  std::chrono::milliseconds passwordDeadline{std::chrono::seconds(10)};
  // How long a bundle must have been left alone before the verified copies of its items are
  // kept for the next start: a change within the kernel's clock granularity can leave a file's
  // change time as it was.
  std::chrono::milliseconds unchangedSince{std::chrono::seconds(1)};
  // Called after the bundle was verified and before its items are copied; a test changes
  // the bundle there.
  std::function<void()> afterVerification;

  [[nodiscard]] static RunnerSettings system();
};

}  // namespace vantreel
