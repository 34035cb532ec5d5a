// The helper daemon: refuses to run as anyone but root, then serves the helper's service for
// the life of the process.
#include <chrono>
#include <csignal>
#include <memory>
#include <string>

#include "helper/caller_validation.hpp"
#include "helper/helper_listener_delegate.hpp"
#include "helper/helper_log.hpp"
#include "helper/helper_service.hpp"
#include "helper/resolver_file_guard.hpp"
#include "platform/posix/allocator.hpp"
#include "platform/posix/descriptor_limit.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/termination_signals.hpp"
#include "platform/service/host.hpp"
#include "platform/service/layout.hpp"
#include "platform/service/service_manager.hpp"
#include "platform/service/spawn_admin_runner.hpp"
#include "platform/xpc/listener.hpp"
#include "shared/constants.hpp"

namespace {

// Open connections beyond this are refused before admission; each one holds a thread.
constexpr std::size_t kMaximumConnections = 64;
// What one user other than root may hold of them, so that another user still gets in.
constexpr std::size_t kConnectionsPerUser = 8;
// A connection holds its socket, a pidfd, a wake descriptor and, for a moment, what a frame
// brings and what its admission opens; connections whose clients have gone may be as many
// again while their last call ends. The rest is the daemon's own and its tunnel's.
constexpr std::size_t kDescriptorsWanted = 2 * kMaximumConnections * 16 + 256;
constexpr int kExitNotRoot = 78;
// How long the daemon's end waits for replies and lines it queued to reach their clients; a
// client that does not read is not waited for longer.
constexpr std::chrono::seconds kFinalSendBound{2};
// How long the daemon's end waits for the calls it took on to reply. The runner's end has cut
// every start short by then; only a caller check or a verification still running is waited for.
constexpr std::chrono::seconds kFinalCallBound{3};

// What the process sets up before any thread exists.
void prepareProcess() {
  // A client that vanishes mid-write must cost a failed write, never the daemon.
  (void)std::signal(SIGPIPE, SIG_IGN);
  vantreel::platform::posix::reserveStandardDescriptors();
  vantreel::platform::service::keepInheritedDescriptorsFromPrograms();
  // Connections come and go in bursts, each on a thread of its own; an idle daemon should not
  // keep what they allocated.
  vantreel::platform::posix::useOneAllocatorArena();
}

void raiseDescriptorLimit() {
  if (auto limit = vantreel::platform::posix::raiseDescriptorLimit(kDescriptorsWanted);
      !limit || *limit < kDescriptorsWanted) {
    vantreel::HelperLog::error(limit ? "open descriptors are limited to " + std::to_string(*limit)
                                     : limit.error().description());
  }
}

// Binds the resolver file into the service's view anew; an empty text when it did.
std::string bindResolverFile(const std::string& unit) {
  namespace service = vantreel::platform::service;
  const auto command = service::Layout::running().bindCommand(unit, "/etc/resolv.conf");
  if (command.empty()) {
    return "the service manager binds no files";
  }
  auto outcome = service::SpawnAdminRunner().run(command);
  if (!outcome) {
    return outcome.error().description();
  }
  if (outcome->status != 0) {
    return "systemctl bind exited with status " + std::to_string(outcome->status) + ": " +
           outcome->standardError;
  }
  return {};
}

void configure(vantreel::platform::xpc::Listener& listener,
               const std::shared_ptr<vantreel::HelperListenerDelegate>& delegate) {
  namespace HelperLog = vantreel::HelperLog;
  listener.setDelegate(delegate);
  listener.setMaximumConnections(kMaximumConnections);
  listener.setMaximumConnectionsPerUser(kConnectionsPerUser);
  listener.setRefusalHandler(
      [](std::int32_t /*pid*/, const std::string& reason) { HelperLog::error(reason); });
  // A daemon that can no longer accept must end, so that its service manager restarts it.
  listener.setFailureHandler([](const std::string& reason) {
    HelperLog::error(reason + "; exiting");
    vantreel::HelperService::shared().runner->shutDown();
    vantreel::platform::posix::exitProcess(1);
  });
  listener.setRequirementCheck(vantreel::CallerValidation::requirementCheck());
}

// The main thread's remaining job: the daemon's own end, with the tunnel stopped the way a
// caller's stop does it, so that OpenConnect logs off and its script restores the network.
[[noreturn]] void serveUntilTerminated(vantreel::platform::posix::TerminationSignals& signals,
                                       vantreel::platform::xpc::Listener& listener) {
  using vantreel::HelperService;
  auto received = signals.wait();
  vantreel::HelperLog::info(received ? "received " + *received + "; stopping the tunnel and exiting"
                                     : "termination signals unreadable (" +
                                           received.error().description() +
                                           "); stopping the tunnel and exiting");
  HelperService::shared().runner->shutDown();
  // A start that the end cut short, or a status read meanwhile, is answered before the flush.
  (void)HelperService::shared().calls.awaitNone(std::chrono::steady_clock::now() + kFinalCallBound);
  // Sends no longer block: the owner's start reply and its last lines are still queued.
  listener.awaitSent(std::chrono::steady_clock::now() + kFinalSendBound);
  vantreel::platform::posix::exitProcess(0);
}

}  // namespace

int main() {
  using namespace vantreel;

  prepareProcess();
  // Before any thread exists, so that every thread inherits the blocked termination signals
  // and only the wait at the end takes them.
  auto signals = platform::posix::TerminationSignals::block();

  HelperLog::info("org.vantreel.desktop.helper " + Constants::helperVersion() + " starting");
  if (!platform::service::effectiveUserIsRoot()) {
    HelperLog::error("helper must run as root; exiting");
    return kExitNotRoot;
  }
  if (!signals) {
    HelperLog::error(signals.error().description());
    return 1;
  }
  raiseDescriptorLimit();
  // From the daemon's first moment, before recovery may need to write the resolver file: a file
  // replaced since the service manager made the daemon's view is bound in anew.
  if (auto unit = platform::service::ownServiceUnit()) {
    ResolverFileGuard::start([unit = *unit] { return bindResolverFile(unit); });
  }

  // Before the listener: an OpenConnect that an earlier instance left behind goes first, so
  // that a new start never runs beside it. Only once no other live daemon serves the service:
  // its tunnel is not one left behind.
  if (auto locked = HelperService::shared().runner->lockInstance(); !locked) {
    HelperLog::error(locked.error() + "; exiting");
    return 1;
  }
  HelperService::shared().runner->recoverEarlierInstance();

  // Both live as long as the process: the listener holds its delegate only weakly. Under
  // systemd the socket unit holds the endpoint and hands it over; calls sent while this daemon
  // started and recovered waited in its queue.
  const auto delegate = std::make_shared<HelperListenerDelegate>();
  platform::xpc::Listener listener{std::string(Constants::machService)};
  configure(listener, delegate);
  if (auto resumed = listener.resume(); !resumed) {
    HelperLog::error(resumed.error().description());
    return 1;
  }
  if (auto ready = platform::service::notifyReady(); !ready) {
    HelperLog::error("cannot tell the service manager that the daemon is ready: " +
                     ready.error().description());
  }
  serveUntilTerminated(*signals, listener);
}
