#include <unistd.h>

#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::posix {

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) {
    // close(2) is never retried on Linux: the descriptor is gone even after EINTR.
    ::close(fd_);
  }
  fd_ = fd;
}

}  // namespace vantreel::platform::posix
