#include "helper/stale_host_routes.hpp"

#include <uriparser/Uri.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "helper/helper_log.hpp"
#include "platform/posix/host_info.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/thread_reaper.hpp"
#include "platform/process/task.hpp"

namespace vantreel::StaleHostRoutes {
namespace {

namespace process = platform::process;

// A route command that hangs would hold its start, and the caller waiting for it, for good.
constexpr auto kRouteCommandBound = std::chrono::seconds(10);
// Lookups left to finish on their own threads, each with a thread and a descriptor: a caller
// who starts and stops in a loop must not grow them without bound. Past the cap a start skips
// its lookup (and with it the clean-up of stale routes) until one has returned.
constexpr int kMaxAbandonedLookups = 4;
std::atomic<int> abandonedLookups{0};

// The host of a URL, and whether it is an IP address rather than a name.
struct Host {
  std::string text;
  bool ipv4 = false;
  bool ipv6 = false;
};

Host hostOf(const std::string& url) {
  UriUriA uri{};
  const char* errorAt = nullptr;
  if (uriParseSingleUriA(&uri, url.c_str(), &errorAt) != URI_SUCCESS) {
    return {};
  }
  const std::unique_ptr<UriUriA, void (*)(UriUriA*)> owned(&uri, &uriFreeUriMembersA);
  if (uri.hostText.first == nullptr || uri.hostText.afterLast == nullptr) {
    return {};
  }
  return {std::string(uri.hostText.first, uri.hostText.afterLast), uri.hostData.ip4 != nullptr,
          uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr};
}

bool interrupted(int interrupt) {
  if (interrupt < 0) {
    return false;
  }
  const auto readable = platform::posix::waitReadable(interrupt, std::chrono::milliseconds(0));
  return !readable || *readable;
}

// The resolver cannot be interrupted: a lookup still running at the bound (or when interrupt
// becomes readable) is left to finish on its own thread, which then hands itself to the
// reaper, while the start goes on without it.
std::optional<std::vector<std::string>> lookUpWithin(
    const std::function<std::vector<std::string>(const std::string&)>& lookup,
    const std::string& host, std::chrono::milliseconds bound, int interrupt) {
  auto finishedWake = platform::posix::makeWakeFd();
  if (!finishedWake) {
    return std::nullopt;
  }
  struct Pending {
    explicit Pending(platform::posix::UniqueFd wake) : finishedWake(std::move(wake)) {}
    std::mutex mutex;                        // guards every member below
    platform::posix::UniqueFd finishedWake;  // signalled once finished
    bool finished = false;
    bool abandoned = false;
    std::vector<std::string> addresses;
    std::jthread thread;  // the lookup's own, once abandoned
  };
  auto pending = std::make_shared<Pending>(std::move(*finishedWake));
  std::jthread worker([pending, lookup, host] {
    std::vector<std::string> found;
    try {
      found = lookup(host);
    } catch (...) {  // NOLINT(bugprone-empty-catch): a failed lookup finds nothing
    }
    std::jthread self;
    {
      std::scoped_lock lock(pending->mutex);
      pending->addresses = std::move(found);
      pending->finished = true;
      platform::posix::signalWake(pending->finishedWake.get());
      if (pending->abandoned) {
        self = std::move(pending->thread);
        abandonedLookups.fetch_sub(1);
      }
    }
    if (self.joinable()) {
      platform::posix::reapThread(std::move(self));
    }
  });
  const int watched[] = {pending->finishedWake.get(), interrupt};
  // Whatever ended the wait, the lookup counts only if it finished.
  (void)platform::posix::waitAnyReadable(watched, bound);
  std::unique_lock lock(pending->mutex);
  if (pending->finished) {
    auto addresses = std::move(pending->addresses);
    lock.unlock();
    worker.join();
    return addresses;
  }
  pending->abandoned = true;
  abandonedLookups.fetch_add(1);
  pending->thread = std::move(worker);
  return std::nullopt;
}

}  // namespace

bool runRouteCommand(const std::vector<std::string>& command) {
  if (command.empty()) {
    return false;
  }
  auto null = process::FileHandle::fileHandleWithNullDevice();
  if (!null) {
    return false;
  }
  auto task = process::Task::create();
  task->setExecutable(command.front());
  task->setArguments(std::vector<std::string>(command.begin() + 1, command.end()));
  task->setStandardInput(*null);
  task->setStandardOutput(*null);
  task->setStandardError(*null);
  task->setOwnProcessGroup(true);
  if (!task->launch()) {
    return false;
  }
  if (!task->waitUntilExit(kRouteCommandBound)) {
    task->kill();
    task->waitUntilExit();
    return false;
  }
  return task->terminationReason() == process::TerminationReason::exit &&
         task->terminationStatus() == 0;
}

namespace {

// The IPv4 addresses of host: an address stands for itself, a name is looked up within the
// bound. Nothing when the lookup did not finish (or the start was interrupted meanwhile).
std::optional<std::vector<std::string>> ipv4AddressesOf(const Host& host,
                                                        const RunnerSettings& settings,
                                                        int interrupt) {
  if (host.ipv4 || host.ipv6) {
    return host.ipv4 ? std::vector<std::string>{host.text} : std::vector<std::string>{};
  }
  const auto lookup = settings.hostLookup
                          ? settings.hostLookup
                          : std::function<std::vector<std::string>(const std::string&)>(
                                &platform::posix::ipv4Addresses);
  if (abandonedLookups.load() >= kMaxAbandonedLookups) {
    HelperLog::error("skipped removing stale host routes to " + host.text + ": " +
                     std::to_string(kMaxAbandonedLookups) +
                     " earlier name lookups have not returned yet");
    return std::nullopt;
  }
  auto addresses = lookUpWithin(lookup, host.text, settings.hostLookupBound, interrupt);
  if (!addresses && !interrupted(interrupt)) {
    const auto bound = settings.hostLookupBound.count();
    HelperLog::error(
        "skipped removing stale host routes to " + host.text +
        ": its name lookup took longer than " +
        (bound % 1000 == 0 ? std::to_string(bound / 1000) + " s" : std::to_string(bound) + " ms"));
  }
  return addresses;
}

}  // namespace

void remove(const std::string& server, const RunnerSettings& settings, int interrupt) {
  const Host host = hostOf("https://" + server);
  if (host.text.empty() || !settings.removeHostRoute) {
    return;
  }
  const auto addresses = ipv4AddressesOf(host, settings, interrupt);
  if (!addresses || interrupted(interrupt)) {
    return;
  }
  std::set<std::string> handled;
  for (const auto& address : *addresses) {
    if (!handled.insert(address).second) {
      continue;
    }
    if (interrupted(interrupt)) {
      return;
    }
    if (settings.removeHostRoute(address)) {
      HelperLog::info("removed stale host route to " + address);
    }
  }
}

}  // namespace vantreel::StaleHostRoutes
