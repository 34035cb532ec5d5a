#pragma once

#include <functional>
#include <string>

namespace vantreel {

// The installed service sees the resolver file through a view the service manager made for it:
// the unit makes that one file writable in an otherwise read-only system. A file renamed over
// it since (what a DHCP client or a network manager does) is read-only to the daemon and its
// routing script, which then could no longer set the VPN's resolver. The guard has the service
// manager bind the new file into the daemon's view at once, tunnel or not, so nobody waits for
// a restart and no call is refused. During a tunnel that is safe: the tunnel's end writes the
// resolver back only over a file that still holds what the tunnel wrote, never over the newer
// file a DHCP client put in place.
class ResolverFileGuard {
 public:
  // Whether path needs binding anew: a regular file (not a link, which names a file elsewhere
  // that the view must not open up) that this process may not write.
  [[nodiscard]] static bool stale(const std::string& path);

  // Looks once now, binding anew (rebind) when the file is stale, and then on every change of
  // the entry, from a thread of its own for the life of the process: a file missing now, or
  // replaced while the daemon recovers, is taken in as soon as it appears. rebind runs on that
  // thread and returns an error text, or nothing when the file was bound.
  static void start(std::function<std::string()> rebind,
                    const std::string& path = "/etc/resolv.conf");
};

}  // namespace vantreel
