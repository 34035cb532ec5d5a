#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/posix/tree_fingerprint.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::posix {
namespace {

#ifndef OVERLAYFS_SUPER_MAGIC
#define OVERLAYFS_SUPER_MAGIC 0x794c7630
#endif

// Local filesystems whose inode times only the kernel writes (ext2 and ext3 share ext4's).
constexpr std::array<long, 5> kTrustedFilesystems = {
    EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC, TMPFS_MAGIC, OVERLAYFS_SUPER_MAGIC};

bool trusted(int fd) {
  struct statfs filesystem {};
  return ::fstatfs(fd, &filesystem) == 0 &&
         std::find(kTrustedFilesystems.begin(), kTrustedFilesystems.end(),
                   static_cast<long>(filesystem.f_type)) != kTrustedFilesystems.end();
}

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

struct Walk {
  dev_t device = 0;
  std::int64_t newestAllowed = 0;  // change times past this are too recent
  std::size_t left = 0;
  std::string text;
};

// Appends the entry name (stat of it given) and, for a directory, everything below it.
bool visit(Walk& walk, int parentFd, const std::string& path, const std::string& name,
           const struct stat& status);

bool visitChildren(Walk& walk, int directoryFd, const std::string& path) {
  // fdopendir takes its own descriptor: the caller's stays its own.
  UniqueFd own(::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* stream = own ? ::fdopendir(own.get()) : nullptr;
  if (stream == nullptr) {
    return false;
  }
  (void)own.release();
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(stream)) {  // NOLINT(concurrency-mt-unsafe): own stream
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  const bool listed = names.size() <= walk.left;
  std::sort(names.begin(), names.end());
  bool whole = listed;
  for (const auto& name : names) {
    struct stat status {};
    if (!whole || ::fstatat(::dirfd(stream), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !visit(walk, ::dirfd(stream), path + "/" + name, name, status)) {
      whole = false;
    }
  }
  ::closedir(stream);
  return whole;
}

bool visit(Walk& walk, int parentFd, const std::string& path, const std::string& name,
           const struct stat& status) {
  if (walk.left == 0 || status.st_dev != walk.device ||
      nanoseconds(status.st_ctim) > walk.newestAllowed) {
    return false;
  }
  --walk.left;
  walk.text += path;
  walk.text += '\0';
  for (const auto value :
       {static_cast<std::int64_t>(status.st_mode), static_cast<std::int64_t>(status.st_uid),
        static_cast<std::int64_t>(status.st_gid), static_cast<std::int64_t>(status.st_ino),
        static_cast<std::int64_t>(status.st_size), nanoseconds(status.st_mtim),
        nanoseconds(status.st_ctim)}) {
    walk.text += std::to_string(value);
    walk.text += ' ';
  }
  walk.text += '\n';
  if (!S_ISDIR(status.st_mode)) {
    return true;
  }
  const UniqueFd directory(
      ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return directory && visitChildren(walk, directory.get(), path);
}

}  // namespace

std::optional<std::string> treeFingerprint(const std::string& root, std::size_t maxEntries,
                                           std::chrono::milliseconds settled) {
  const UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat status {};
  if (!rootFd || ::fstat(rootFd.get(), &status) != 0 || !trusted(rootFd.get())) {
    return std::nullopt;
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  Walk walk;
  walk.device = status.st_dev;
  walk.newestAllowed =
      nanoseconds(now) - std::chrono::duration_cast<std::chrono::nanoseconds>(settled).count();
  walk.left = maxEntries;
  // The root is described by its own descriptor; its children are opened below it.
  if (walk.left == 0 || nanoseconds(status.st_ctim) > walk.newestAllowed) {
    return std::nullopt;
  }
  walk.text = ".\n" + std::to_string(status.st_ino) + ' ' + std::to_string(status.st_mode) + ' ' +
              std::to_string(status.st_uid) + ' ' + std::to_string(nanoseconds(status.st_mtim)) +
              ' ' + std::to_string(nanoseconds(status.st_ctim)) + '\n';
  --walk.left;
  if (!visitChildren(walk, rootFd.get(), ".")) {
    return std::nullopt;
  }
  return std::move(walk.text);
}

}  // namespace vantreel::platform::posix
