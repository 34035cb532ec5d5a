#pragma once

#include <string>

#include "platform/posix/sys_error.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::posix {

// SIGTERM, SIGINT and SIGHUP, taken as data: blocked, and read from a signalfd by whichever
// thread waits for them, so that no work ever runs in a signal handler.
class TerminationSignals {
 public:
  // Blocks the three signals in the calling thread and opens the descriptor that receives
  // them. Call it before the process starts its first thread: threads inherit the mask, and a
  // thread that left them unblocked would take the default action, the end of the process.
  [[nodiscard]] static SysResult<TerminationSignals> block();

  // Blocks until one of them arrives; its name, such as "SIGTERM".
  [[nodiscard]] SysResult<std::string> wait() const;

  // Sends the process SIGTERM, so that the daemon's own end runs the way a service manager's
  // stop has it run, from whichever thread asks.
  [[nodiscard]] static SysResult<void> raise();

 private:
  explicit TerminationSignals(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// Ends the process with status at once: no destructor and no handler of atexit runs, so no
// thread that is still serving can be torn down under its feet.
[[noreturn]] void exitProcess(int status) noexcept;

}  // namespace vantreel::platform::posix
