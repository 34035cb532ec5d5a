#include "helper/helper_service.hpp"

#include <utility>

#include "platform/posix/check.hpp"

namespace vantreel {

HelperService& HelperService::shared() {
  // Deliberately leaked: connection handlers may still reach it while the process exits.
  static auto* const instance = new HelperService(OpenConnectRunner::create());
  return *instance;
}

HelperService::HelperService(std::shared_ptr<OpenConnectRunner> tunnelRunner)
    : runner(std::move(tunnelRunner)) {
  VT_CHECK(runner != nullptr);
}

void HelperService::dropConnection(const std::shared_ptr<platform::xpc::Connection>& connection) {
  // The runner holds the owner together with its tunnel and forgets it when that tunnel
  // ends, so a later end of this connection finds nothing of its own to stop.
  (void)runner->stopOwnedBy(connection);
}

}  // namespace vantreel
