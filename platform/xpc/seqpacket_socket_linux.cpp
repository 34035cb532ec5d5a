#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/posix/process_identity.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif
#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace {
constexpr long kPidfsMagic = 0x50494446;  // PID_FS_MAGIC
}  // namespace

namespace vantreel::platform::xpc::seqpacket {
namespace {

using posix::lastError;
using posix::SysError;
using posix::SysResult;
using posix::UniqueFd;

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), std::min(path.size(), sizeof address.sun_path - 1));
  return address;
}

SysResult<UniqueFd> newSocket() {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return tl::unexpected(lastError("socket"));
  }
  return UniqueFd(fd);
}

// A socket file nobody accepts on is left over from an earlier run and may go; anything else
// at the path stays.
SysResult<void> removeStaleSocket(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? SysResult<void>{} : tl::unexpected(lastError("lstat " + path));
  }
  if (!S_ISSOCK(info.st_mode)) {
    return tl::unexpected(SysError{EEXIST, "bind " + path});
  }
  auto probe = connectTo(path);
  if (probe) {
    return tl::unexpected(SysError{EADDRINUSE, "bind " + path});
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return tl::unexpected(lastError("unlink " + path));
  }
  return {};
}

}  // namespace

SysResult<UniqueFd> connectTo(const std::string& path) {
  auto fd = newSocket();
  if (!fd) {
    return fd;
  }
  const sockaddr_un address = addressOf(path);
  for (;;) {
    if (::connect(fd->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return fd;
    }
    if (errno != EINTR) {
      return tl::unexpected(lastError("connect " + path));
    }
  }
}

SysResult<UniqueFd> listenOn(const std::string& path) {
  if (auto removed = removeStaleSocket(path); !removed) {
    return tl::unexpected(removed.error());
  }
  auto fd = newSocket();
  if (!fd) {
    return fd;
  }
  const sockaddr_un address = addressOf(path);
  if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return tl::unexpected(lastError("bind " + path));
  }
  // Who may talk is decided by code signature, not by file mode.
  if (::chmod(path.c_str(), 0666) != 0) {
    return tl::unexpected(lastError("chmod " + path));
  }
  if (::listen(fd->get(), SOMAXCONN) != 0) {
    return tl::unexpected(lastError("listen " + path));
  }
  return fd;
}

std::optional<UniqueFd> takeInheritedListener() {
  static std::once_flag once;
  std::optional<UniqueFd> taken;
  std::call_once(once, [&] {
    // NOLINTBEGIN(concurrency-mt-unsafe)
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    // NOLINTEND(concurrency-mt-unsafe)
    if (pid == nullptr || fds == nullptr || std::strtol(pid, nullptr, 10) != ::getpid() ||
        std::strtol(fds, nullptr, 10) < 1) {
      return;
    }
    constexpr int kFirst = 3;  // SD_LISTEN_FDS_START
    int type = 0;
    int accepting = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(kFirst, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET) {
      return;
    }
    length = sizeof accepting;
    if (::getsockopt(kFirst, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0 ||
        accepting == 0) {
      return;
    }
    if (::fcntl(kFirst, F_SETFD, FD_CLOEXEC) != 0) {
      return;
    }
    taken.emplace(kFirst);
  });
  return taken;
}

SysResult<std::optional<UniqueFd>> acceptOrWake(int listenFd, int wakeFd, int timeoutMs) {
  for (;;) {
    pollfd entries[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(entries, 2, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return tl::unexpected(lastError("poll"));
    }
    if (ready == 0 || entries[1].revents != 0) {
      return std::optional<UniqueFd>();
    }
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      return std::optional<UniqueFd>(UniqueFd(fd));
    }
    // The peer may give up between poll and accept; that is no failure of the listener.
    if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED || errno == EPROTO) {
      continue;
    }
    return tl::unexpected(lastError("accept4"));
  }
}

void shedPending(int listenFd) noexcept {
  pollfd entry{listenFd, POLLIN, 0};
  if (::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

std::int32_t peerPid(int fd) noexcept {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return 0;
  }
  return credentials.pid;
}

std::optional<std::uint32_t> peerUid(int fd) noexcept {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return std::nullopt;
  }
  return credentials.uid;
}

SysResult<PeerIdentity> peerIdentity(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return tl::unexpected(lastError("getsockopt SO_PEERCRED"));
  }
  if (credentials.pid <= 0) {
    return tl::unexpected(SysError{ESRCH, "peer of socket has no process"});
  }
  PeerIdentity identity;
  identity.pid = credentials.pid;
  identity.uid = credentials.uid;
  identity.gid = credentials.gid;

  int pidfd = -1;
  length = sizeof pidfd;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
    // This pidfd names the very process that connected; its start time, read while it is
    // confirmed alive afterwards, cannot belong to a successor.
    identity.pidfd.reset(pidfd);
    auto start = posix::processStartTime(identity.pid);
    if (!start) {
      return tl::unexpected(start.error());
    }
    // EPERM still proves the process exists: an unprivileged peer may not signal root.
    if (auto alive = posix::pidfdSendSignal(identity.pidfd.get(), 0);
        !alive && alive.error().code != EPERM) {
      return tl::unexpected(alive.error());
    }
    identity.startTime = *start;
    return identity;
  }
  if (errno != EINVAL && errno != ENOPROTOOPT) {
    return tl::unexpected(lastError("getsockopt SO_PEERPIDFD"));
  }
  // Older kernels: the pid may have been reused since connect; the best left is to pin the
  // process now there and refuse if it is not the one that started when we first looked.
  auto start = posix::processStartTime(identity.pid);
  if (!start) {
    return tl::unexpected(start.error());
  }
  auto opened = posix::openPidfd(identity.pid, *start);
  if (!opened) {
    return tl::unexpected(opened.error());
  }
  identity.pidfd = std::move(*opened);
  identity.startTime = *start;
  return identity;
}

SysResult<void> sendDatagram(int fd, std::span<const std::uint8_t> bytes,
                             std::span<const int> descriptors, bool dontWait) {
  iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)] = {};
  if (!descriptors.empty()) {
    if (descriptors.size() > kMaxDescriptors) {
      return tl::unexpected(SysError{EMSGSIZE, "sendmsg"});
    }
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors.size());
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
    std::memcpy(CMSG_DATA(header), descriptors.data(), sizeof(int) * descriptors.size());
  }
  const int flags = MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0);
  for (;;) {
    const ssize_t n = ::sendmsg(fd, &message, flags);
    if (n >= 0) {
      return {};
    }
    if (errno != EINTR) {
      return tl::unexpected(lastError("sendmsg"));
    }
  }
}

SysResult<void> enableSenderCredentials(int fd) {
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    return tl::unexpected(lastError("setsockopt SO_PASSCRED"));
  }
  // Kernels before 6.5 do not know it; the pid alone then names the sender.
  if (::setsockopt(fd, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on) != 0 && errno != ENOPROTOOPT &&
      errno != EINVAL) {
    return tl::unexpected(lastError("setsockopt SO_PASSPIDFD"));
  }
  return {};
}

std::optional<ProcessKey> processKey(int pidfd) noexcept {
  struct statfs where {};
  struct stat info {};
  if (pidfd < 0 || ::fstatfs(pidfd, &where) != 0 || where.f_type != kPidfsMagic ||
      ::fstat(pidfd, &info) != 0) {
    return std::nullopt;
  }
  return ProcessKey{static_cast<std::uint64_t>(info.st_dev),
                    static_cast<std::uint64_t>(info.st_ino)};
}

SenderVerdict judgeSender(const std::optional<Sender>& sender, std::int32_t peerPid, int peerPidfd,
                          const std::optional<ProcessKey>& peerKey) noexcept {
  if (!sender || sender->pid <= 0) {
    return SenderVerdict::other;
  }
  if (peerKey && sender->pidfd) {
    // Both pidfds live on the pidfd file system, whose inodes name one process each for good.
    struct stat info {};
    if (::fstat(sender->pidfd.get(), &info) == 0) {
      return static_cast<std::uint64_t>(info.st_ino) == peerKey->inode &&
                     static_cast<std::uint64_t>(info.st_dev) == peerKey->device
                 ? SenderVerdict::peer
                 : SenderVerdict::other;
    }
  }
  if (sender->pid != peerPid) {
    return SenderVerdict::other;
  }
  // The same number: while the peer lives nobody else can have held its pid since it
  // connected, so the sender was the peer.
  if (auto alive = posix::pidfdSendSignal(peerPidfd, 0); !alive && alive.error().code != EPERM) {
    return SenderVerdict::peerGone;
  }
  return SenderVerdict::peer;
}

SysResult<Readiness> waitForSocket(int fd, bool readable, bool writable, int wakeFd, int exitFd) {
  for (;;) {
    const short events =
        static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));  // NOLINT
    pollfd entries[3] = {{fd, events, 0}, {wakeFd, POLLIN, 0}, {exitFd, POLLIN, 0}};
    if (::poll(entries, exitFd >= 0 ? 3 : 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return tl::unexpected(lastError("poll"));
    }
    Readiness ready;
    // A hang-up or error is reported whatever was asked, and reads as the end of the stream.
    ready.readable = (entries[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    ready.writable = (entries[0].revents & POLLOUT) != 0;
    ready.woken = entries[1].revents != 0;
    ready.exited = exitFd >= 0 && entries[2].revents != 0;
    return ready;
  }
}

bool peerHungUp(int fd, int pidfd) noexcept {
  pollfd entries[2] = {{fd, POLLRDHUP, 0}, {pidfd, POLLIN, 0}};
  return ::poll(entries, pidfd >= 0 ? 2 : 1, 0) > 0 &&
         ((entries[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0 ||
          (pidfd >= 0 && entries[1].revents != 0));
}

SysResult<Datagram> receiveDatagram(int fd, bool dontWait) {
  Datagram datagram;
  datagram.bytes.resize(kMaxDatagram);
  iovec part{datagram.bytes.data(), datagram.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors) +
                                CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  ssize_t n = -1;
  for (;;) {
    message = msghdr{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC | (dontWait ? MSG_DONTWAIT : 0));
    if (n >= 0) {
      break;
    }
    if (errno != EINTR) {
      return tl::unexpected(lastError("recvmsg"));
    }
  }
  bool foreign = false;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
      const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int received = -1;
        std::memcpy(&received, CMSG_DATA(header) + i * sizeof(int), sizeof received);
        datagram.descriptors.emplace_back(received);
      }
    } else if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS &&
               header->cmsg_len == CMSG_LEN(sizeof(ucred))) {
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
      if (!datagram.sender) {
        datagram.sender.emplace();
      }
      datagram.sender->pid = credentials.pid;
    } else if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_PIDFD &&
               header->cmsg_len == CMSG_LEN(sizeof(int))) {
      int pidfd = -1;
      std::memcpy(&pidfd, CMSG_DATA(header), sizeof pidfd);
      if (!datagram.sender) {
        datagram.sender.emplace();
      }
      // A sender that has been reaped may come as an error number instead.
      if (pidfd >= 0) {
        datagram.sender->pidfd.reset(pidfd);
      }
    } else {
      foreign = true;
    }
  }
  if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || foreign) {
    datagram.sender.reset();
    datagram.descriptors.clear();
    datagram.bytes.clear();
    datagram.truncated = true;
    return datagram;
  }
  datagram.bytes.resize(static_cast<std::size_t>(n));
  // A zero-length datagram cannot be told from the end of a SOCK_SEQPACKET stream; neither
  // is a frame, so both end the connection.
  datagram.endOfStream = n == 0;
  return datagram;
}

SysResult<bool> anythingQueued(int fd) {
  std::uint8_t probe = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, &probe, sizeof probe, MSG_PEEK | MSG_DONTWAIT);
    if (n >= 0) {
      // n == 0 is a hang-up (or an empty datagram, which reads as one): nothing to guard against.
      return n > 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return false;
    }
    if (errno != EINTR) {
      return tl::unexpected(lastError("recv"));
    }
  }
}

void shutdownBoth(int fd) noexcept { ::shutdown(fd, SHUT_RDWR); }

void removeSocketFile(const std::string& path) noexcept {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
    ::unlink(path.c_str());
  }
}

}  // namespace vantreel::platform::xpc::seqpacket
