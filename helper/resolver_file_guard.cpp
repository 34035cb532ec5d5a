#include "helper/resolver_file_guard.hpp"

#include <chrono>
#include <thread>
#include <utility>

#include "helper/helper_log.hpp"
#include "platform/posix/entry_watch.hpp"

namespace vantreel {
namespace {

using platform::posix::EntryWatch;

// A tunnel's end is what the guard waits for; a second is soon enough after it.
constexpr auto kIdlePoll = std::chrono::seconds(1);

}  // namespace

void ResolverFileGuard::start(std::shared_ptr<OpenConnectRunner> runner,
                              std::function<void()> endDaemon, const std::string& path) {
  if (!EntryWatch::writable(path)) {
    return;
  }
  auto watch = EntryWatch::open(path);
  if (!watch) {
    HelperLog::error("cannot watch " + path + ": " + watch.error().description());
    return;
  }
  // Detached: it ends with the process, which it may be the one to end.
  std::thread([runner = std::move(runner), endDaemon = std::move(endDaemon),
               watch = std::move(*watch), path] {
    while (watch.wait()) {
      if (EntryWatch::writable(path)) {
        continue;
      }
      while (runner->currentPid() != 0) {
        std::this_thread::sleep_for(kIdlePoll);
      }
      HelperLog::info(path + " was replaced and is read-only to the daemon now; ending, so " +
                      "that the service starts again with the new file");
      endDaemon();
      return;
    }
  }).detach();
}

}  // namespace vantreel
