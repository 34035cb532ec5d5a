#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/codesign/file_access.hpp"

namespace vantreel::platform::codesign::file_access {
namespace {

Status fromStat(const struct stat& st) {
  Status out;
  if (S_ISREG(st.st_mode)) {
    out.type = Type::regular;
  } else if (S_ISDIR(st.st_mode)) {
    out.type = Type::directory;
  } else if (S_ISLNK(st.st_mode)) {
    out.type = Type::link;
  }
  out.executable = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  out.size = static_cast<std::uint64_t>(st.st_size);
  out.device = static_cast<std::uint64_t>(st.st_dev);
  out.inode = static_cast<std::uint64_t>(st.st_ino);
  return out;
}

posix::SysResult<posix::UniqueFd> openAt(int dirFd, const std::string& name, int flags,
                                         const std::string& what) {
  for (;;) {
    const int fd = ::openat(dirFd, name.c_str(), flags | O_CLOEXEC);
    if (fd >= 0) {
      return posix::UniqueFd(fd);
    }
    if (errno != EINTR) {
      std::string operation = what;
      operation += ' ';
      operation += name;
      return tl::unexpected(posix::lastError(std::move(operation)));
    }
  }
}

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

posix::SysResult<std::string> readLinkImpl(int dirFd, const std::string& name) {
  std::string target(PATH_MAX, '\0');
  const ssize_t n = ::readlinkat(dirFd, name.c_str(), target.data(), target.size());
  if (n < 0) {
    return tl::unexpected(posix::lastError("readlink " + name));
  }
  if (static_cast<std::size_t>(n) >= target.size()) {
    return tl::unexpected(posix::SysError{ENAMETOOLONG, "readlink " + name});
  }
  target.resize(static_cast<std::size_t>(n));
  return target;
}

}  // namespace

posix::SysResult<Status> status(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return tl::unexpected(posix::lastError("fstat"));
  }
  return fromStat(st);
}

posix::SysResult<Status> statusAt(int dirFd, const std::string& name) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return tl::unexpected(posix::lastError("stat " + name));
  }
  return fromStat(st);
}

posix::SysResult<posix::UniqueFd> openDirectoryAt(int dirFd, const std::string& name) {
  return openAt(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, "open directory");
}

posix::SysResult<posix::UniqueFd> openFileAt(int dirFd, const std::string& name) {
  return openAt(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, "open");
}

posix::SysResult<posix::UniqueFd> openDirectory(const std::string& path) {
  return openAt(AT_FDCWD, path, O_RDONLY | O_DIRECTORY, "open directory");
}

posix::SysResult<posix::UniqueFd> openForReading(const std::string& path) {
  return openAt(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, "open");
}

posix::SysResult<std::vector<std::string>> listDirectory(int dirFd, std::size_t limit) {
  // fdopendir takes the descriptor it is given; hand it a duplicate so dirFd stays ours.
  const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    return tl::unexpected(posix::lastError("dup directory"));
  }
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
  if (!dir) {
    auto error = posix::lastError("opendir");
    posix::UniqueFd owned(copy);
    return tl::unexpected(error);
  }
  ::rewinddir(dir.get());
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    // readdir is safe here: glibc locks per stream, and the stream is this call's own.
    const dirent* entry = ::readdir(dir.get());  // NOLINT(concurrency-mt-unsafe)
    if (entry == nullptr) {
      if (errno != 0) {
        return tl::unexpected(posix::lastError("readdir"));
      }
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    if (names.size() == limit) {
      return tl::unexpected(posix::SysError{E2BIG, "readdir"});
    }
    names.push_back(name);
  }
  return names;
}

posix::SysResult<std::string> readLinkAt(int dirFd, const std::string& name) {
  return readLinkImpl(dirFd, name);
}

posix::SysResult<std::string> readLink(const std::string& path) {
  return readLinkImpl(AT_FDCWD, path);
}

posix::SysResult<std::string> realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) {
    return tl::unexpected(posix::lastError("realpath " + path));
  }
  return std::string(resolved.get());
}

posix::SysResult<void> readAt(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return tl::unexpected(posix::lastError("pread"));
    }
    if (n == 0) {
      return tl::unexpected(posix::SysError{EIO, "pread: file shrank"});
    }
    buffer = buffer.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

}  // namespace vantreel::platform::codesign::file_access
