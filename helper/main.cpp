// The helper daemon: refuses to run as anyone but root, then serves the helper's service for
// the life of the process.
#include <csignal>
#include <future>
#include <memory>
#include <string>

#include "helper/caller_validation.hpp"
#include "helper/helper_listener_delegate.hpp"
#include "helper/helper_log.hpp"
#include "platform/posix/io.hpp"
#include "platform/service/host.hpp"
#include "platform/xpc/listener.hpp"
#include "shared/constants.hpp"

namespace {

// Open connections beyond this are refused before admission; each one holds a thread.
constexpr std::size_t kMaximumConnections = 64;
constexpr int kExitNotRoot = 78;

}  // namespace

int main() {
  using namespace vantreel;

  // A client that vanishes mid-write must cost a failed write, never the daemon.
  (void)std::signal(SIGPIPE, SIG_IGN);
  vantreel::platform::posix::reserveStandardDescriptors();

  HelperLog::info("org.vantreel.desktop.helper " + Constants::helperVersion() + " starting");
  if (!platform::service::effectiveUserIsRoot()) {
    HelperLog::error("helper must run as root; exiting");
    return kExitNotRoot;
  }

  // Both live as long as the process: the listener holds its delegate only weakly.
  const auto delegate = std::make_shared<HelperListenerDelegate>();
  platform::xpc::Listener listener{std::string(Constants::machService)};
  listener.setDelegate(delegate);
  listener.setMaximumConnections(kMaximumConnections);
  listener.setRefusalHandler(
      [](std::int32_t /*pid*/, const std::string& reason) { HelperLog::error(reason); });
  listener.setRequirementCheck(CallerValidation::requirementCheck());
  if (auto resumed = listener.resume(); !resumed) {
    HelperLog::error(resumed.error().description());
    return 1;
  }

  // Nothing ever fulfils this: the main thread's only remaining job is to keep the process.
  std::promise<void> never;
  never.get_future().wait();
  return 0;
}
