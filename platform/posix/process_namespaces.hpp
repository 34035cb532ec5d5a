#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/sys_error.hpp"

namespace vantreel::platform::posix {

// The pid and user namespaces a process lives in, each named by the device and inode of its
// /proc/<pid>/ns entry. Inside a user namespace of its own, a process may assert any pid of its
// pid namespace as a message's sender, so only processes in ours can be told apart by pid.
struct ProcessNamespaces {
  std::uint64_t pidDevice = 0;
  std::uint64_t pidInode = 0;
  std::uint64_t userDevice = 0;
  std::uint64_t userInode = 0;
  friend bool operator==(const ProcessNamespaces&, const ProcessNamespaces&) = default;
};

// Read under /proc: confirm afterwards that pid still names the process meant. Only a process
// allowed to trace pid may read them (EACCES otherwise).
[[nodiscard]] SysResult<ProcessNamespaces> processNamespaces(int pid);
[[nodiscard]] SysResult<ProcessNamespaces> ownNamespaces();
// How many pid namespaces below that of /proc the process is (the NSpid line of its status),
// readable by anyone: a process in a pid namespace nested below ours is deeper than we are.
[[nodiscard]] SysResult<std::size_t> pidNamespaceDepth(int pid);
[[nodiscard]] SysResult<std::size_t> ownPidNamespaceDepth();

}  // namespace vantreel::platform::posix
