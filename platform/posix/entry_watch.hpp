#pragma once

#include <string>

#include "platform/posix/sys_error.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::posix {

// Tells when the directory entry of one path is replaced: a file created or renamed over it,
// or the entry removed. It watches the directory, not the file, so a file renamed into place
// by someone else (in any mount namespace) is seen too.
class EntryWatch {
 public:
  [[nodiscard]] static SysResult<EntryWatch> open(const std::string& path);

  // Blocks until the entry has changed since the last call.
  [[nodiscard]] SysResult<void> wait() const;

  // Whether this process may write the file at path now (a read-only mount says no).
  [[nodiscard]] static bool writable(const std::string& path);

 private:
  EntryWatch(UniqueFd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}
  UniqueFd fd_;
  std::string name_;
};

}  // namespace vantreel::platform::posix
