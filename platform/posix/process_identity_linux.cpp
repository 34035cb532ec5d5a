#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

#include "platform/posix/process_identity.hpp"

namespace vantreel::platform::posix {

std::string procPath(int pid, const std::string& entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

SysResult<std::string> processExecutable(int pid) {
  std::error_code error;
  auto target = std::filesystem::read_symlink(procPath(pid, "exe"), error);
  if (error) {
    return tl::unexpected(SysError{error.value(), "readlink " + procPath(pid, "exe")});
  }
  return target.string();
}

namespace {

SysResult<FileIdentity> identityOf(const std::string& path, bool followLink) {
  struct stat info {};
  if ((followLink ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) {
    return tl::unexpected(lastError("stat " + path));
  }
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

SysResult<FileIdentity> processExecutableIdentity(int pid) {
  // /proc/<pid>/exe leads to the file itself, whichever mount namespace the process is in.
  return identityOf(procPath(pid, "exe"), true);
}

SysResult<FileIdentity> fileIdentity(const std::string& path) { return identityOf(path, false); }

std::vector<int> runningProcesses() {
  std::vector<int> pids;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    int pid = 0;
    const auto [last, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec == std::errc() && last == name.data() + name.size() && pid > 0) {
      pids.push_back(pid);
    }
  }
  return pids;
}

bool processGroupHasLiveMember(int pgid) {
  for (const int pid : runningProcesses()) {
    std::ifstream in(procPath(pid, "stat"));
    std::string stat;
    try {
      if (!in || !std::getline(in, stat)) {
        continue;  // ended meanwhile
      }
    } catch (const std::ios_base::failure&) {
      continue;
    }
    // "pid (comm) state ppid pgrp ...": comm may hold anything, so parse after its last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    char state = 0;
    int parent = 0;
    int group = 0;
    std::istringstream rest(stat.substr(close + 1));
    if ((rest >> state >> parent >> group) && group == pgid && state != 'Z' && state != 'X') {
      return true;
    }
  }
  return false;
}

SysResult<std::uint64_t> processStartTime(int pid) {
  const std::string path = procPath(pid, "stat");
  std::ifstream in(path);
  if (!in) {
    return tl::unexpected(SysError{ESRCH, "read " + path});
  }
  std::string stat;
  try {
    // The stream buffer throws when the process ends between the open and the read (ESRCH).
    stat.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::ios_base::failure&) {
    return tl::unexpected(SysError{ESRCH, "read " + path});
  }
  // The command name (field 2) may hold blanks and parentheses; the fields after it start
  // behind the last ')'. Field 3 is the state; the start time is field 22.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) {
    return tl::unexpected(SysError{EINVAL, "parse " + path});
  }
  std::string_view rest = std::string_view(stat).substr(close + 1);
  for (int field = 3; field < 22; ++field) {
    const auto blank = rest.find(' ', 1);
    if (blank == std::string_view::npos) {
      return tl::unexpected(SysError{EINVAL, "parse " + path});
    }
    rest.remove_prefix(blank);
  }
  while (!rest.empty() && rest.front() == ' ') {
    rest.remove_prefix(1);
  }
  std::uint64_t start = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), start);
  if (ec != std::errc() || end == rest.data()) {
    return tl::unexpected(SysError{EINVAL, "parse " + path});
  }
  return start;
}

SysResult<void> pidfdSendSignal(int pidfd, int signal) {
  if (::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) != 0) {
    return tl::unexpected(lastError("pidfd_send_signal"));
  }
  return {};
}

SysResult<UniqueFd> openPidfd(int pid, std::uint64_t startTime) {
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) {
    return tl::unexpected(lastError("pidfd_open " + std::to_string(pid)));
  }
  UniqueFd pidfd(static_cast<int>(fd));  // pidfd_open sets close-on-exec itself
  // The pid may have been reused between learning it and opening the pidfd: the start time,
  // read while the pidfd holds the process, tells the two apart.
  const auto start = processStartTime(pid);
  if (!start) {
    return tl::unexpected(start.error());
  }
  if (*start != startTime) {
    return tl::unexpected(SysError{ESRCH, "process " + std::to_string(pid) + " was replaced"});
  }
  // EPERM answers an unprivileged caller asking about a process it may not signal: the
  // process exists all the same.
  if (auto alive = pidfdSendSignal(pidfd.get(), 0); !alive && alive.error().code != EPERM) {
    return tl::unexpected(alive.error());
  }
  return pidfd;
}

}  // namespace vantreel::platform::posix
