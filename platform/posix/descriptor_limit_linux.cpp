#include <sys/resource.h>

#include <algorithm>

#include "platform/posix/descriptor_limit.hpp"

namespace vantreel::platform::posix {

SysResult<std::size_t> raiseDescriptorLimit(std::size_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return tl::unexpected(lastError("getrlimit RLIMIT_NOFILE"));
  }
  const rlim_t target = std::min<rlim_t>(wanted, limit.rlim_max);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < target) {
    limit.rlim_cur = target;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      return tl::unexpected(lastError("setrlimit RLIMIT_NOFILE"));
    }
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace vantreel::platform::posix
