#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/posix/process_identity.hpp"
#include "platform/posix/process_namespaces.hpp"

namespace vantreel::platform::posix {
namespace {

SysResult<ProcessNamespaces> namespacesAt(const std::string& directory) {
  struct stat pid {};
  struct stat user {};
  if (::stat((directory + "/pid").c_str(), &pid) != 0) {
    return tl::unexpected(lastError("stat " + directory + "/pid"));
  }
  if (::stat((directory + "/user").c_str(), &user) != 0) {
    return tl::unexpected(lastError("stat " + directory + "/user"));
  }
  return ProcessNamespaces{
      static_cast<std::uint64_t>(pid.st_dev), static_cast<std::uint64_t>(pid.st_ino),
      static_cast<std::uint64_t>(user.st_dev), static_cast<std::uint64_t>(user.st_ino)};
}

SysResult<std::size_t> depthAt(const std::string& status) {
  std::ifstream in(status);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("NSpid:")) {
      std::istringstream pids(line.substr(6));
      std::size_t levels = 0;
      for (std::string pid; pids >> pid;) {
        ++levels;
      }
      return levels - (levels > 0 ? 1 : 0);
    }
  }
  return tl::unexpected(SysError{in.bad() || !in.eof() ? EIO : ESRCH, "read " + status});
}

}  // namespace

SysResult<std::size_t> pidNamespaceDepth(int pid) { return depthAt(procPath(pid, "status")); }

SysResult<std::size_t> ownPidNamespaceDepth() { return depthAt("/proc/self/status"); }

SysResult<ProcessNamespaces> processNamespaces(int pid) {
  return namespacesAt(procPath(pid, "ns"));
}

SysResult<ProcessNamespaces> ownNamespaces() { return namespacesAt("/proc/self/ns"); }

}  // namespace vantreel::platform::posix
