#pragma once

#include <string>
#include <vector>

#include "platform/posix/sys_error.hpp"
#include "platform/service/command_outcome.hpp"

namespace vantreel::platform::service {

// Runs one program to completion: standard input and output are the caller's, standard error
// is collected. The seam through which installation reaches the system; tests put a recording
// stand-in in its place.
class AdminRunner {
 public:
  virtual ~AdminRunner() = default;

  // arguments[0] is the absolute path of the program. An error means the program could not be
  // started; a program that ran and failed is an outcome with a non-zero status.
  [[nodiscard]] virtual posix::SysResult<CommandOutcome> run(
      const std::vector<std::string>& arguments) = 0;
};

}  // namespace vantreel::platform::service
