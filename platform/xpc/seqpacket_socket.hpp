#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/sys_error.hpp"
#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/peer_identity.hpp"

// The Unix-domain SOCK_SEQPACKET calls of the transport, each wrapped once.
namespace vantreel::platform::xpc::seqpacket {

inline constexpr std::size_t kMaxDatagram = 64 * 1024;
inline constexpr std::size_t kMaxDescriptors = 4;

// Who sent one datagram, as the kernel attached it on the way (SO_PASSCRED, SO_PASSPIDFD).
struct Sender {
  std::int32_t pid = 0;   // the sending thread's thread-group id; 0 when none was attached
  posix::UniqueFd pidfd;  // where the kernel has SO_PASSPIDFD
};

struct Datagram {
  std::vector<std::uint8_t> bytes;
  std::vector<posix::UniqueFd> descriptors;
  std::optional<Sender> sender;
  bool endOfStream = false;
  // The datagram or its descriptors did not fit; everything received has been closed.
  bool truncated = false;
};

[[nodiscard]] posix::SysResult<posix::UniqueFd> connectTo(const std::string& path);
// Binds path mode 0666, replacing a stale socket file (never a live one or another file).
[[nodiscard]] posix::SysResult<posix::UniqueFd> listenOn(const std::string& path);
// The listening socket a service manager handed over (LISTEN_FDS, LISTEN_PID), taken once.
[[nodiscard]] std::optional<posix::UniqueFd> takeInheritedListener();
// Waits for a connection on listenFd; nullopt when wakeFd became readable first or timeoutMs
// (negative: none) passed. Running out of descriptors or memory comes back as the error.
[[nodiscard]] posix::SysResult<std::optional<posix::UniqueFd>> acceptOrWake(int listenFd,
                                                                            int wakeFd,
                                                                            int timeoutMs = -1);
// Accepts one waiting connection, if there is one, and closes it at once.
void shedPending(int listenFd) noexcept;
[[nodiscard]] posix::SysResult<PeerIdentity> peerIdentity(int fd);
// Only the peer's pid, for messages about connections refused before their identity is taken.
[[nodiscard]] std::int32_t peerPid(int fd) noexcept;
[[nodiscard]] std::optional<std::uint32_t> peerUid(int fd) noexcept;

// Asks the kernel to attach its sender to every datagram received on fd from now on; pidfds
// come as well where the running kernel has them.
[[nodiscard]] posix::SysResult<void> enableSenderCredentials(int fd);

// How a pidfd names its process where pidfds live on their own file system (one inode per
// process, never reused): nullopt on kernels where all pidfds share one inode.
struct ProcessKey {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const ProcessKey&, const ProcessKey&) = default;
};
[[nodiscard]] std::optional<ProcessKey> processKey(int pidfd) noexcept;

enum class SenderVerdict { peer, other, peerGone };
// Whether the datagram's sender is the process behind peerPid/peerPidfd (peerKey its key when
// known). Threads of the peer are the peer.
[[nodiscard]] SenderVerdict judgeSender(const std::optional<Sender>& sender, std::int32_t peerPid,
                                        int peerPidfd,
                                        const std::optional<ProcessKey>& peerKey) noexcept;

[[nodiscard]] posix::SysResult<void> sendDatagram(int fd, std::span<const std::uint8_t> bytes,
                                                  std::span<const int> descriptors, bool dontWait);
// dontWait: EAGAIN instead of blocking when nothing is queued (another holder of the socket
// may take a datagram between a poll and this call).
[[nodiscard]] posix::SysResult<Datagram> receiveDatagram(int fd, bool dontWait = false);

struct Readiness {
  bool readable = false;  // a datagram, the end of the stream or an error is there
  bool writable = false;
  bool woken = false;
  bool exited = false;  // the process behind exitFd has ended
};
// Waits until fd is readable (when asked), writable (when asked), wakeFd is readable or the
// process of the pidfd exitFd (when not -1) has ended.
[[nodiscard]] posix::SysResult<Readiness> waitForSocket(int fd, bool readable, bool writable,
                                                        int wakeFd, int exitFd = -1);
// Whether the peer has closed its end, or (pidfd not -1) its process has ended, without waiting.
[[nodiscard]] bool peerHungUp(int fd, int pidfd = -1) noexcept;
// Whether a datagram with content is already queued, without waiting.
[[nodiscard]] posix::SysResult<bool> anythingQueued(int fd);
void shutdownBoth(int fd) noexcept;
void removeSocketFile(const std::string& path) noexcept;

}  // namespace vantreel::platform::xpc::seqpacket
