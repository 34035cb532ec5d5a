#pragma once

// VT_CHECK guards invariants of our own code in every build. Input and environment are never
// checked with it: those are handled and reported.
#define VT_CHECK(condition)                                                     \
  do {                                                                          \
    if (!(condition)) {                                                         \
      ::vantreel::platform::posix::checkFailed(#condition, __FILE__, __LINE__); \
    }                                                                           \
  } while (false)

namespace vantreel::platform::posix {

[[noreturn]] void checkFailed(const char* condition, const char* file, int line) noexcept;

}  // namespace vantreel::platform::posix
