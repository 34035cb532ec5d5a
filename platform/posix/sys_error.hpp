#pragma once

#include <string>
#include <tl/expected.hpp>

namespace vantreel::platform::posix {

// A failed system call: the errno it left and what was being done, such as
// "connect /var/run/x". description() reads "connect /var/run/x: No such file or directory".
struct SysError {
  int code = 0;
  std::string operation;

  [[nodiscard]] std::string description() const;
};

template <class T>
using SysResult = tl::expected<T, SysError>;

// The error of the call that just failed, taken from errno.
[[nodiscard]] SysError lastError(std::string operation);

}  // namespace vantreel::platform::posix
