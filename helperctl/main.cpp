#include <csignal>
#include <string>
#include <vector>

#include "helperctl/helper_ctl_main.hpp"
#include "platform/posix/io.hpp"

int main(int argc, char** argv) {
  // A reader of standard output that goes away must show as a failed write, not end the tool
  // in the middle of a command.
  (void)std::signal(SIGPIPE, SIG_IGN);
  vantreel::platform::posix::reserveStandardDescriptors();
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
  }
  return vantreel::HelperCtlMain(std::move(arguments)).main();
}
