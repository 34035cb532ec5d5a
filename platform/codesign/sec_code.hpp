#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/codesign/sec_static_code.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::codesign {

// Running code: a process held by its pidfd and the executable it ran when looked up (held
// open, with its device and inode to notice a later execve).
class SecCode {
 public:
  SecCode(int pid, posix::UniqueFd pidfd, std::shared_ptr<SecStaticCode> staticCode,
          std::uint64_t device, std::uint64_t inode)
      : pid_(pid),
        pidfd_(std::move(pidfd)),
        staticCode_(std::move(staticCode)),
        device_(device),
        inode_(inode) {}

  [[nodiscard]] int pid() const noexcept { return pid_; }
  [[nodiscard]] int pidfd() const noexcept { return pidfd_.get(); }
  [[nodiscard]] const std::shared_ptr<SecStaticCode>& staticCode() const noexcept {
    return staticCode_;
  }
  [[nodiscard]] std::uint64_t device() const noexcept { return device_; }
  [[nodiscard]] std::uint64_t inode() const noexcept { return inode_; }

 private:
  int pid_;
  posix::UniqueFd pidfd_;
  std::shared_ptr<SecStaticCode> staticCode_;
  std::uint64_t device_;
  std::uint64_t inode_;
};

}  // namespace vantreel::platform::codesign
