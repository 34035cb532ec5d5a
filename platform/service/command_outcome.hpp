#pragma once

#include <string>

namespace vantreel::platform::service {

// How a finished command ended: its exit status (or the number of the signal that ended it) and
// everything it wrote to standard error, as raw bytes.
struct CommandOutcome {
  int status = 0;
  std::string standardError;
};

}  // namespace vantreel::platform::service
