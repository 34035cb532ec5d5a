#pragma once

#include <cstdint>

#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::xpc {

// Who is at the other end of a socket, as the kernel recorded it when the socket connected.
struct PeerIdentity {
  std::int32_t pid = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t startTime = 0;
  posix::UniqueFd pidfd;
};

}  // namespace vantreel::platform::xpc
