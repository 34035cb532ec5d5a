#include <signal.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/termination_signals.hpp"

namespace vantreel::platform::posix {
namespace {

sigset_t terminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

SysResult<TerminationSignals> TerminationSignals::block() {
  const sigset_t set = terminationSet();
  if (const int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) {
    return tl::unexpected(SysError{rc, "block termination signals"});
  }
  const int fd = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (fd < 0) {
    return tl::unexpected(lastError("signalfd"));
  }
  return TerminationSignals(UniqueFd(fd));
}

SysResult<std::string> TerminationSignals::wait() const {
  for (;;) {
    signalfd_siginfo info{};
    const ssize_t got = ::read(fd_.get(), &info, sizeof info);
    if (got == static_cast<ssize_t>(sizeof info)) {
      const char* name = ::sigabbrev_np(static_cast<int>(info.ssi_signo));
      return std::string("SIG") + (name != nullptr ? name : std::to_string(info.ssi_signo));
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    return tl::unexpected(got < 0 ? lastError("read signalfd")
                                  : SysError{EIO, "read signalfd: short read"});
  }
}

SysResult<void> TerminationSignals::raise() {
  // To the process, not the calling thread: the thread that waits reads process signals.
  if (::kill(::getpid(), SIGTERM) != 0) {
    return tl::unexpected(lastError("kill SIGTERM"));
  }
  return {};
}

void exitProcess(int status) noexcept {
  (void)std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace vantreel::platform::posix
