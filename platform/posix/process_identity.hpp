#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/sys_error.hpp"
#include "platform/posix/unique_fd.hpp"

// Names a process so that a recycled pid never passes for the process it replaced: a pid
// together with its start time (clock ticks since boot, /proc/<pid>/stat field 22) and a pidfd.
namespace vantreel::platform::posix {

[[nodiscard]] SysResult<std::uint64_t> processStartTime(int pid);

// A pidfd for pid, confirmed to name the process that started at startTime.
[[nodiscard]] SysResult<UniqueFd> openPidfd(int pid, std::uint64_t startTime);

// pidfd_send_signal(2); signal 0 only asks whether the process still exists.
[[nodiscard]] SysResult<void> pidfdSendSignal(int pidfd, int signal);

// The file a process runs (the target of /proc/<pid>/exe); confirm it as procPath says.
[[nodiscard]] SysResult<std::string> processExecutable(int pid);

// A file named by device and inode, which, unlike its path, means the same in every mount
// namespace.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file a process runs; confirm it as procPath says.
[[nodiscard]] SysResult<FileIdentity> processExecutableIdentity(int pid);

// The identity of the file at path itself, a symbolic link not followed.
[[nodiscard]] SysResult<FileIdentity> fileIdentity(const std::string& path);

// The pids of every process the system runs now.
[[nodiscard]] std::vector<int> runningProcesses();

// Whether a process other than a zombie has pgid as its process group.
[[nodiscard]] bool processGroupHasLiveMember(int pgid);

// The path /proc/<pid>/<entry>. Anything read there about the process must be confirmed
// afterwards with pidfdSendSignal(pidfd, 0), since the pid may have been reused meanwhile.
[[nodiscard]] std::string procPath(int pid, const std::string& entry);

}  // namespace vantreel::platform::posix
