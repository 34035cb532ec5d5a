#pragma once

namespace vantreel::platform::posix {

// Makes every thread allocate from one heap. The C library otherwise gives threads heaps of
// their own, and what a burst of connection threads freed stays resident in them long after
// those threads have gone. For the start of main, before any thread exists.
void useOneAllocatorArena() noexcept;

}  // namespace vantreel::platform::posix
