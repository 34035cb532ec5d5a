#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
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

void describe(std::string& text, const std::string& path, const struct stat& status) {
  text += path;
  text += '\0';
  for (const auto value :
       {static_cast<std::int64_t>(status.st_mode), static_cast<std::int64_t>(status.st_uid),
        static_cast<std::int64_t>(status.st_gid), static_cast<std::int64_t>(status.st_ino),
        static_cast<std::int64_t>(status.st_size), nanoseconds(status.st_mtim),
        nanoseconds(status.st_ctim)}) {
    text += std::to_string(value);
    text += ' ';
  }
  text += '\n';
}

// The names in the directory at fd, sorted; nothing when it cannot be read whole.
std::optional<std::vector<std::string>> namesIn(int fd) {
  // fdopendir takes the descriptor it is given: the caller's stays its own.
  UniqueFd own(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* stream = own ? ::fdopendir(own.get()) : nullptr;
  if (stream == nullptr) {
    return std::nullopt;
  }
  (void)own.release();
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(stream)) {  // NOLINT(concurrency-mt-unsafe): own stream
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  ::closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::optional<std::string> treeFingerprint(const std::string& root, std::size_t maxEntries,
                                           std::chrono::milliseconds settled) {
  struct Directory {
    UniqueFd fd;
    std::string path;
  };
  std::vector<Directory> pending;
  pending.push_back({UniqueFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), "."});
  struct stat rootStatus {};
  if (!pending.back().fd || ::fstat(pending.back().fd.get(), &rootStatus) != 0 ||
      !trusted(pending.back().fd.get())) {
    return std::nullopt;
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t newestAllowed =
      nanoseconds(now) - std::chrono::duration_cast<std::chrono::nanoseconds>(settled).count();
  const auto admissible = [&](const struct stat& status) {
    return status.st_dev == rootStatus.st_dev && nanoseconds(status.st_ctim) <= newestAllowed;
  };
  if (!admissible(rootStatus) || maxEntries == 0) {
    return std::nullopt;
  }
  std::string text;
  describe(text, ".", rootStatus);
  std::size_t left = maxEntries - 1;
  // Depth first, each directory's names in sorted order: the same tree gives the same text.
  while (!pending.empty()) {
    const Directory directory = std::move(pending.back());
    pending.pop_back();
    const auto names = namesIn(directory.fd.get());
    if (!names || names->size() > left) {
      return std::nullopt;
    }
    left -= names->size();
    for (auto name = names->rbegin(); name != names->rend(); ++name) {
      struct stat status {};
      if (::fstatat(directory.fd.get(), name->c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
          !admissible(status)) {
        return std::nullopt;
      }
      std::string path = directory.path;
      path += '/';
      path += *name;
      describe(text, path, status);
      if (S_ISDIR(status.st_mode)) {
        UniqueFd child(::openat(directory.fd.get(), name->c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child) {
          return std::nullopt;
        }
        pending.push_back({std::move(child), std::move(path)});
      }
    }
  }
  return text;
}

}  // namespace vantreel::platform::posix
