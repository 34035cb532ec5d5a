#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "platform/posix/sys_error.hpp"
#include "platform/posix/unique_fd.hpp"

// The file-system calls code signing makes, each wrapped once (EINTR retried here).
namespace vantreel::platform::codesign::file_access {

enum class Type { regular, directory, link, other };

struct Status {
  Type type = Type::other;
  bool executable = false;  // any execute bit
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

[[nodiscard]] posix::SysResult<Status> status(int fd);
// Of the entry itself, never what a link names.
[[nodiscard]] posix::SysResult<Status> statusAt(int dirFd, const std::string& name);
// A subdirectory, refusing links.
[[nodiscard]] posix::SysResult<posix::UniqueFd> openDirectoryAt(int dirFd, const std::string& name);
// A file for reading, refusing links and never blocking on a FIFO put in its place.
[[nodiscard]] posix::SysResult<posix::UniqueFd> openFileAt(int dirFd, const std::string& name);
[[nodiscard]] posix::SysResult<posix::UniqueFd> openDirectory(const std::string& path);
// Follows links; for reading, never blocking on a FIFO.
[[nodiscard]] posix::SysResult<posix::UniqueFd> openForReading(const std::string& path);
// The names in a directory, without "." and "..", at most limit of them (more is an error).
[[nodiscard]] posix::SysResult<std::vector<std::string>> listDirectory(int dirFd,
                                                                       std::size_t limit);
[[nodiscard]] posix::SysResult<std::string> readLinkAt(int dirFd, const std::string& name);
[[nodiscard]] posix::SysResult<std::string> readLink(const std::string& path);
[[nodiscard]] posix::SysResult<std::string> realPath(const std::string& path);
// Reads exactly buffer.size() bytes at offset.
[[nodiscard]] posix::SysResult<void> readAt(int fd, std::uint64_t offset,
                                            std::span<std::uint8_t> buffer);

}  // namespace vantreel::platform::codesign::file_access
