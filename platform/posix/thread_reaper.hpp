#pragma once

#include <thread>

namespace vantreel::platform::posix {

// Joins a thread that cannot join itself: an object whose destructor runs on its own worker
// thread hands that thread here, and the reaper's worker joins it once it has returned. The
// reaper's own worker lasts as long as the process.
void reapThread(std::jthread thread);

}  // namespace vantreel::platform::posix
