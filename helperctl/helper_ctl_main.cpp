#include "helperctl/helper_ctl_main.hpp"

#include <exception>
#include <utility>

#include "helperctl/ctl_arguments.hpp"
#include "helperctl/ctl_commands.hpp"
#include "helperctl/ctl_connect.hpp"
#include "helperctl/ctl_results.hpp"

namespace vantreel {

HelperCtlMain::HelperCtlMain(std::vector<std::string> arguments)
    : HelperCtlMain(std::move(arguments), CtlStreams{}) {}

HelperCtlMain::HelperCtlMain(std::vector<std::string> arguments, CtlStreams streams)
    : arguments_(std::move(arguments)), streams_(streams) {}

int HelperCtlMain::main() {
  try {
    auto outcome = run(CtlArguments::commandWord(arguments_));
    if (!outcome) {
      streams_.result(CtlResults::failureObject(outcome.error()));
      return 1;
    }
    return *outcome;
  } catch (const std::exception& error) {
    streams_.result(CtlResults::failureObject(CtlError::own(1, error.what())));
    return 1;
  }
}

tl::expected<int, CtlError> HelperCtlMain::run(const std::string& command) {
  const CtlCommands commands(arguments_, streams_);
  if (command == "version") {
    return commands.version();
  }
  if (command == "status") {
    return commands.status();
  }
  if (command == "install") {
    return commands.install();
  }
  if (command == "uninstall") {
    return commands.uninstall();
  }
  if (command == "connect") {
    return CtlConnect(arguments_, streams_).run();
  }
  if (command == "disconnect" || command == "stop") {
    return commands.disconnect();
  }
  // Like "stop", left out of the usage text, whose wording is fixed.
  if (command == "tunnel") {
    return commands.tunnel();
  }
  streams_.message(usageText);
  return usageStatus;
}

}  // namespace vantreel
