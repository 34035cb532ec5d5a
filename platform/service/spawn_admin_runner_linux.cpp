#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

#include "platform/posix/io.hpp"
#include "platform/service/spawn_admin_runner.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration): not declared by <unistd.h> in
                        // strict mode

namespace vantreel::platform::service {
namespace {

struct FileActions {
  posix_spawn_file_actions_t actions{};
  FileActions() { ::posix_spawn_file_actions_init(&actions); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attributes{};
  SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

posix::SysResult<int> waitForExit(pid_t pid, const std::string& program) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return tl::unexpected(posix::lastError("waitpid " + program));
    }
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WTERMSIG(status);
}

}  // namespace

posix::SysResult<CommandOutcome> SpawnAdminRunner::run(const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments.front().empty() || arguments.front().front() != '/') {
    return tl::unexpected(posix::SysError{EINVAL, "spawn: the program is not an absolute path"});
  }
  const std::string& program = arguments.front();
  auto pipe = posix::makePipe();
  if (!pipe) {
    return tl::unexpected(pipe.error());
  }

  FileActions files;
  SpawnAttributes attributes;
  // The child gets its standard error on the pipe and nothing else of ours: every descriptor
  // from 3 up is closed, whether or not whoever made it asked for close-on-exec.
  if (int rc = ::posix_spawn_file_actions_adddup2(&files.actions, pipe->write.get(), 2); rc != 0) {
    return tl::unexpected(posix::SysError{rc, "spawn " + program});
  }
  if (int rc = ::posix_spawn_file_actions_addclosefrom_np(&files.actions, 3); rc != 0) {
    return tl::unexpected(posix::SysError{rc, "spawn " + program});
  }
  sigset_t all;
  sigset_t none;
  ::sigfillset(&all);
  ::sigemptyset(&none);
  ::posix_spawnattr_setsigdefault(&attributes.attributes, &all);
  ::posix_spawnattr_setsigmask(&attributes.attributes, &none);
  ::posix_spawnattr_setflags(&attributes.attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));  // NOLINT: posix_spawn does not write
  }
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (int rc = ::posix_spawn(&pid, program.c_str(), &files.actions, &attributes.attributes,
                             argv.data(), environ);
      rc != 0) {
    return tl::unexpected(posix::SysError{rc, "spawn " + program});
  }
  pipe->write.reset();

  CommandOutcome outcome;
  std::array<std::byte, 4096> buffer{};
  for (;;) {
    auto n = posix::readSome(pipe->read.get(), buffer);
    if (!n || *n == 0) {
      // A failed read leaves the child to be reaped below; what was read so far is kept.
      break;
    }
    outcome.standardError.append(reinterpret_cast<const char*>(buffer.data()), *n);
  }
  pipe->read.reset();
  auto status = waitForExit(pid, program);
  if (!status) {
    return tl::unexpected(status.error());
  }
  outcome.status = *status;
  return outcome;
}

}  // namespace vantreel::platform::service
