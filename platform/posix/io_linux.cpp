#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/posix/io.hpp"

namespace vantreel::platform::posix {

SysResult<PipeEnds> makePipe() {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return tl::unexpected(lastError("pipe2"));
  }
  return PipeEnds{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

SysResult<std::size_t> readSome(int fd, std::span<std::byte> buffer) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) {
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) {
      return tl::unexpected(lastError("read"));
    }
  }
}

SysResult<void> writeAll(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return tl::unexpected(lastError("write"));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

SysResult<UniqueFd> openFile(const std::string& path, int flags, unsigned mode) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) {
      return UniqueFd(fd);
    }
    if (errno != EINTR) {
      return tl::unexpected(lastError("open " + path));
    }
  }
}

SysResult<UniqueFd> openNullSink() { return openFile("/dev/null", O_WRONLY); }

SysResult<UniqueFd> duplicate(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    return tl::unexpected(lastError("dup descriptor " + std::to_string(fd)));
  }
  return UniqueFd(copy);
}

bool isTerminal(int fd) noexcept { return ::isatty(fd) == 1; }

void reserveStandardDescriptors() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    // open(2) returns the lowest free number, which is fd itself. Deliberately not
    // close-on-exec: it stands in for a standard stream.
    // NOLINTNEXTLINE(android-cloexec-open)
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::close(opened);
    }
  }
}

SysResult<UniqueFd> lockFile(const std::string& path, bool create) {
  auto file = openFile(path, O_RDWR | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
  if (!file) {
    return tl::unexpected(file.error());
  }
  for (;;) {
    if (::flock(file->get(), LOCK_EX | LOCK_NB) == 0) {
      return file;
    }
    if (errno != EINTR) {
      return tl::unexpected(lastError("flock " + path));
    }
  }
}

SysResult<UniqueFd> makeWakeFd() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    return tl::unexpected(lastError("eventfd"));
  }
  return UniqueFd(fd);
}

void signalWake(int fd) noexcept { [[maybe_unused]] const int ignored = ::eventfd_write(fd, 1); }

void drainWake(int fd) noexcept {
  eventfd_t drained = 0;
  [[maybe_unused]] const int ignored = ::eventfd_read(fd, &drained);
}

SysResult<bool> waitReadable(int fd, std::optional<std::chrono::milliseconds> timeout) {
  const int fds[] = {fd};
  auto ready = waitAnyReadable(fds, timeout);
  if (!ready) {
    return tl::unexpected(ready.error());
  }
  return ready->has_value();
}

SysResult<std::optional<std::size_t>> waitAnyReadable(
    std::span<const int> fds, std::optional<std::chrono::milliseconds> timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
  std::vector<pollfd> entries;
  entries.reserve(fds.size());
  for (const int fd : fds) {
    entries.push_back(pollfd{fd, POLLIN, 0});
  }
  for (;;) {
    int wait = -1;
    if (timeout) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    const int n = ::poll(entries.data(), entries.size(), wait);
    if (n > 0) {
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].revents != 0) {
          return i;
        }
      }
    }
    if (n == 0) {
      return std::nullopt;
    }
    if (n < 0 && errno != EINTR) {
      return tl::unexpected(lastError("poll"));
    }
  }
}

}  // namespace vantreel::platform::posix
