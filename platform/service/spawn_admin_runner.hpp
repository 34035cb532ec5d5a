#pragma once

#include <string>
#include <vector>

#include "platform/service/admin_runner.hpp"

namespace vantreel::platform::service {

// Starts the program with posix_spawn, waits without a time-out (an administrator prompt waits
// for its user) and collects standard error through a pipe.
class SpawnAdminRunner final : public AdminRunner {
 public:
  [[nodiscard]] posix::SysResult<CommandOutcome> run(
      const std::vector<std::string>& arguments) override;
};

}  // namespace vantreel::platform::service
