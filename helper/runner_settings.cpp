#include "helper/runner_settings.hpp"

#include <array>
#include <cstdint>
#include <cstdio>

#include "helper/stale_host_routes.hpp"
#include "platform/posix/host_routes.hpp"
#include "platform/xpc/service_path.hpp"
#include "shared/constants.hpp"

namespace vantreel {

RunnerSettings RunnerSettings::system() {
  const auto layout = platform::service::Layout::running();
  RunnerSettings settings;
  settings.exportDirectory = "/var/run/" + std::string(Constants::helperBundleID);
  settings.certificateSource = layout.rootCertificateSource();
  if (layout.kind() == platform::service::Layout::Kind::linux) {
    // Asked of the kernel directly: a route program would cost a start its own launch.
    settings.removeHostRoute = [](const std::string& address) {
      const auto removed = platform::posix::removeHostRoute(address);
      return removed && *removed;
    };
  } else {
    settings.removeHostRoute = [layout](const std::string& address) {
      return StaleHostRoutes::runRouteCommand(layout.routeDeleteCommand(address));
    };
  }
  settings.copiesDirectory = settings.exportDirectory;
  // One record per service: daemons serving other service directories (tests) share the
  // copies directory, never a record.
  if (const auto service = platform::xpc::servicePath(Constants::machService)) {
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const char c : *service) {
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    std::array<char, 17> hex{};
    (void)std::snprintf(hex.data(), hex.size(), "%016llx", static_cast<unsigned long long>(hash));
    settings.tunnelRecord = settings.copiesDirectory + "/tunnel." + hex.data();
    // A tunnel can be up when the machine goes down: its resolver file outlives /run.
    settings.keptDirectory =
        "/var/lib/" + std::string(Constants::helperBundleID) + "/tunnel." + hex.data();
  }
  return settings;
}

}  // namespace vantreel
