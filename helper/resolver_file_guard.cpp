#include "helper/resolver_file_guard.hpp"

#include <sys/stat.h>

#include <thread>
#include <utility>

#include "helper/helper_log.hpp"
#include "platform/posix/entry_watch.hpp"

namespace vantreel {
namespace {

using platform::posix::EntryWatch;

void refresh(const std::function<std::string()>& rebind, const std::string& path) {
  if (!ResolverFileGuard::stale(path)) {
    return;
  }
  if (const auto failed = rebind(); !failed.empty()) {
    HelperLog::error("cannot bind the new " + path + " into the daemon's view: " + failed);
    return;
  }
  HelperLog::info(path + " was replaced; the daemon's view now shows the new file");
}

}  // namespace

bool ResolverFileGuard::stale(const std::string& path) {
  struct stat facts {};
  return ::lstat(path.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) &&
         !EntryWatch::writable(path);
}

void ResolverFileGuard::start(std::function<std::string()> rebind, const std::string& path) {
  // The watch first: a replacement between the first look and the watch is never missed.
  auto watch = EntryWatch::open(path);
  if (!watch) {
    HelperLog::error("cannot watch " + path + ": " + watch.error().description());
  }
  refresh(rebind, path);
  if (!watch) {
    return;
  }
  // Detached: it holds nothing the process's end must release.
  std::thread([rebind = std::move(rebind), watch = std::move(*watch), path] {
    while (watch.wait()) {
      refresh(rebind, path);
    }
  }).detach();
}

}  // namespace vantreel
