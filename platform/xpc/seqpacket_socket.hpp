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

struct Datagram {
  std::vector<std::uint8_t> bytes;
  std::vector<posix::UniqueFd> descriptors;
  bool endOfStream = false;
  // The datagram or its descriptors did not fit; everything received has been closed.
  bool truncated = false;
};

[[nodiscard]] posix::SysResult<posix::UniqueFd> connectTo(const std::string& path);
// Binds path mode 0666, replacing a stale socket file (never a live one or another file).
[[nodiscard]] posix::SysResult<posix::UniqueFd> listenOn(const std::string& path);
// The listening socket a service manager handed over (LISTEN_FDS, LISTEN_PID), taken once.
[[nodiscard]] std::optional<posix::UniqueFd> takeInheritedListener();
// Waits for a connection on listenFd; nullopt when wakeFd became readable first.
[[nodiscard]] posix::SysResult<std::optional<posix::UniqueFd>> acceptOrWake(int listenFd,
                                                                            int wakeFd);
[[nodiscard]] posix::SysResult<PeerIdentity> peerIdentity(int fd);
// Only the peer's pid, for messages about connections refused before their identity is taken.
[[nodiscard]] std::int32_t peerPid(int fd) noexcept;

[[nodiscard]] posix::SysResult<void> sendDatagram(int fd, std::span<const std::uint8_t> bytes,
                                                  std::span<const int> descriptors, bool dontWait);
[[nodiscard]] posix::SysResult<Datagram> receiveDatagram(int fd);
// Whether a datagram with content is already queued, without waiting.
[[nodiscard]] posix::SysResult<bool> anythingQueued(int fd);
void shutdownBoth(int fd) noexcept;
void removeSocketFile(const std::string& path) noexcept;

}  // namespace vantreel::platform::xpc::seqpacket
