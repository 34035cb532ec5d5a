#include <malloc.h>

#include "platform/posix/allocator.hpp"

namespace vantreel::platform::posix {

void useOneAllocatorArena() noexcept {
  // A refusal only leaves the default in place. Called before any other thread exists.
  (void)::mallopt(M_ARENA_MAX, 1);  // NOLINT(concurrency-mt-unsafe)
}

}  // namespace vantreel::platform::posix
