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

void HelperService::markTunnelOwner(const std::shared_ptr<platform::xpc::Connection>& connection) {
  std::scoped_lock guard(lock);
  tunnelOwner = connection;
}

void HelperService::dropConnection(const std::shared_ptr<platform::xpc::Connection>& connection) {
  {
    std::scoped_lock guard(lock);
    const auto owner = tunnelOwner.lock();
    if (!owner || owner != connection) {
      return;
    }
    tunnelOwner.reset();
  }
  // The runner is called without our lock held; "no tunnel is running" after a tunnel that
  // already ended is expected and changes nothing.
  (void)runner->stop();
}

}  // namespace vantreel
