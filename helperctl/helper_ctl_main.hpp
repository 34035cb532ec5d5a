#pragma once

#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "helperctl/ctl_error.hpp"
#include "helperctl/ctl_streams.hpp"

namespace vantreel {

// The control tool's command line: one command per run, one result object on standard output,
// messages on standard error, and the exit status main() returns. "connect" stays until the
// tunnel ends (CtlConnect); the others answer at once (CtlCommands).
class HelperCtlMain {
 public:
  static constexpr std::string_view usageText =
      "usage: vantreel-helperctl version|status|install|uninstall|connect|disconnect [--json]";
  static constexpr int usageStatus = 64;

  // arguments: the process arguments after the program name.
  explicit HelperCtlMain(std::vector<std::string> arguments);
  HelperCtlMain(std::vector<std::string> arguments, CtlStreams streams);

  // Runs the one command and returns the process's exit status.
  [[nodiscard]] int main();

 private:
  [[nodiscard]] tl::expected<int, CtlError> run(const std::string& command);

  std::vector<std::string> arguments_;
  CtlStreams streams_;
};

}  // namespace vantreel
