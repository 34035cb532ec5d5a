#include <cerrno>
#include <cstring>

#include "platform/posix/sys_error.hpp"

namespace vantreel::platform::posix {

std::string SysError::description() const {
  char buffer[256] = {};
  // The GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  if (operation.empty()) {
    return text;
  }
  return operation + ": " + text;
}

SysError lastError(std::string operation) { return SysError{errno, std::move(operation)}; }

}  // namespace vantreel::platform::posix
