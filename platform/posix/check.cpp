#include "platform/posix/check.hpp"

#include <cstdio>
#include <cstdlib>

namespace vantreel::platform::posix {

void checkFailed(const char* condition, const char* file, int line) noexcept {
  // NOLINTNEXTLINE(cert-err33-c): nothing is left to do if stderr is gone.
  std::fprintf(stderr, "invariant failed: %s at %s:%d\n", condition, file, line);
  std::abort();
}

}  // namespace vantreel::platform::posix
