#include <malloc.h>

#include "platform/posix/allocator.hpp"

namespace vantreel::platform::posix {

void useOneAllocatorArena() noexcept {
  // A refusal only leaves the default in place.
  (void)::mallopt(M_ARENA_MAX, 1);
}

}  // namespace vantreel::platform::posix
