#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/posix/unique_fd.hpp"
#include "platform/service/service_manager.hpp"

namespace vantreel::platform::service {

posix::SysResult<void> notifyReady() {
  // Nothing sets the environment after main has begun.
  const char* variable = std::getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe)
  const std::string path = variable == nullptr ? std::string() : std::string(variable);
  if (path.empty()) {
    return {};
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A path, or an abstract name written with a leading '@'.
  if ((path[0] != '/' && path[0] != '@') || path.size() >= sizeof address.sun_path) {
    return tl::unexpected(posix::SysError{EINVAL, "notify socket " + path});
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  if (path[0] == '@') {
    address.sun_path[0] = '\0';
  }
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                             (path[0] == '@' ? 0 : 1));
  posix::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    return tl::unexpected(posix::lastError("socket for " + path));
  }
  constexpr std::string_view ready = "READY=1";
  ssize_t sent = -1;
  do {
    sent = ::sendto(fd.get(), ready.data(), ready.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    return tl::unexpected(posix::lastError("notify " + path));
  }
  return {};
}

void keepInheritedDescriptorsFromPrograms() {
  // NOLINTBEGIN(concurrency-mt-unsafe): before any thread
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  // NOLINTEND(concurrency-mt-unsafe)
  if (pid == nullptr || count == nullptr || std::strtol(pid, nullptr, 10) != ::getpid()) {
    return;
  }
  constexpr long kFirst = 3;  // where the protocol puts the first one
  constexpr long kMost = 64;
  const long handed = std::strtol(count, nullptr, 10);
  for (long fd = kFirst; fd < kFirst + std::min(handed, kMost); ++fd) {
    (void)::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  }
}

std::optional<std::string> ownServiceUnit() {
  // One line per hierarchy, "0::/system.slice/name.service" on the unified one.
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    const auto slash = line.rfind('/');
    if (slash == std::string::npos) {
      continue;
    }
    std::string unit = line.substr(slash + 1);
    constexpr std::string_view suffix = ".service";
    if (unit.size() > suffix.size() && unit.ends_with(suffix)) {
      return unit;
    }
  }
  return std::nullopt;
}

}  // namespace vantreel::platform::service
