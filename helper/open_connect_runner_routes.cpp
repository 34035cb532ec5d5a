#include <uriparser/Uri.h>

#include <chrono>
#include <memory>
#include <set>

#include "helper/helper_log.hpp"
#include "helper/open_connect_runner.hpp"
#include "platform/posix/host_info.hpp"
#include "platform/process/task.hpp"

namespace vantreel {
namespace {

namespace process = platform::process;

// A route command that hangs would hold the runner's lock, and with it every start, stop and
// status, for good.
constexpr auto kRouteCommandBound = std::chrono::seconds(10);

std::string hostOf(const std::string& url) {
  UriUriA uri{};
  const char* errorAt = nullptr;
  if (uriParseSingleUriA(&uri, url.c_str(), &errorAt) != URI_SUCCESS) {
    return {};
  }
  const std::unique_ptr<UriUriA, void (*)(UriUriA*)> owned(&uri, &uriFreeUriMembersA);
  if (uri.hostText.first == nullptr || uri.hostText.afterLast == nullptr) {
    return {};
  }
  return std::string(uri.hostText.first, uri.hostText.afterLast);
}

// Whether the command ran and exited with status 0.
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

}  // namespace

void OpenConnectRunner::removeStaleHostRoutes(const std::string& server) {
  removeStaleHostRoutes(server, Environment::system());
}

void OpenConnectRunner::removeStaleHostRoutes(const std::string& server,
                                              const Environment& environment) {
  const std::string host = hostOf("https://" + server);
  if (host.empty() || !environment.routeCommand) {
    return;
  }
  std::set<std::string> handled;
  for (const auto& address : platform::posix::ipv4Addresses(host)) {
    if (!handled.insert(address).second) {
      continue;
    }
    if (runRouteCommand(environment.routeCommand(address))) {
      HelperLog::info("removed stale host route to " + address);
    }
  }
}

}  // namespace vantreel
