#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>

#include "platform/posix/process_identity.hpp"
#include "platform/posix/sys_error.hpp"
#include "platform/posix/thread_reaper.hpp"
#include "platform/process/task.hpp"

namespace vantreel::platform::process {

namespace {

// pidfd_open(2); the pid must be our own unreaped child, so it cannot have been reused.
posix::SysResult<posix::UniqueFd> openChildPidfd(int pid) {
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) {
    return tl::unexpected(posix::lastError("pidfd_open " + std::to_string(pid)));
  }
  return posix::UniqueFd(static_cast<int>(fd));  // pidfd_open sets close-on-exec itself
}

// How long the end of a group waits for its last members to die of SIGKILL (one in
// uninterruptible sleep dies only when it wakes), and how often it looks.
constexpr auto kGroupEndLimit = std::chrono::seconds(10);
constexpr auto kGroupEndPoll = std::chrono::milliseconds(5);

// Blocks until the child behind pidfd has ended; reaps it unless keep, which leaves it a
// zombie (and its pid and group number taken) for a later reap.
posix::SysResult<siginfo_t> waitForEnd(int pidfd, bool keep) {
  for (;;) {
    pollfd entry{pidfd, POLLIN, 0};
    if (::poll(&entry, 1, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return tl::unexpected(posix::lastError("poll pidfd"));
    }
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                 WEXITED | (keep ? WNOWAIT : 0)) == 0) {
      return info;
    }
    if (errno != EINTR) {
      return tl::unexpected(posix::lastError("waitid pidfd"));
    }
  }
}

// A child that was spawned but cannot be tracked must not outlive the failed launch: it is
// killed and reaped before the failure is reported. Until reaped its pid cannot be reused, so
// kill(2) on it is safe even without a pidfd.
void killAndReap(int pid, int pidfd, bool group) {
  if (group) {
    ::kill(-pid, SIGKILL);
  }
  if (pidfd >= 0) {
    [[maybe_unused]] const auto sent = posix::pidfdSendSignal(pidfd, SIGKILL);
  } else {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Moves a descriptor at 0, 1 or 2 out of the way, so that placing the child's standard
// streams cannot overwrite one that is still to be placed.
posix::SysResult<posix::UniqueFd> duplicateAboveStandardStreams(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) {
    return tl::unexpected(posix::lastError("dup descriptor " + std::to_string(fd)));
  }
  return posix::UniqueFd(copy);
}

class SpawnActions {
 public:
  SpawnActions() { ready_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ready_) {
      ::posix_spawn_file_actions_destroy(&actions_);
    }
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  [[nodiscard]] bool ready() const { return ready_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ready_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ready_ = ::posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ready_) {
      ::posix_spawnattr_destroy(&attributes_);
    }
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  [[nodiscard]] bool ready() const { return ready_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ready_ = false;
};

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::shared_ptr<Task> Task::create() { return std::shared_ptr<Task>(new Task()); }

Task::~Task() {
  if (!waiter_.joinable()) {
    return;
  }
  if (waiter_.get_id() == std::this_thread::get_id()) {
    posix::reapThread(std::move(waiter_));
  } else {
    // The waiter let go of the task, so it is past the handler and about to end.
    waiter_.join();
  }
}

void Task::setExecutable(std::string path) { executable_ = std::move(path); }

void Task::setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }

void Task::setEnvironment(const std::map<std::string, std::string>& environment) {
  std::vector<std::string> entries;
  entries.reserve(environment.size());
  for (const auto& [name, value] : environment) {
    std::string entry = name;
    entry += '=';
    entry += value;
    entries.push_back(std::move(entry));
  }
  setEnvironment(std::move(entries));
}

void Task::setEnvironment(std::vector<std::string> environment) {
  environment_ = std::move(environment);
  environmentSet_ = true;
}

void Task::setStandardInput(std::shared_ptr<FileHandle> handle) {
  streams_[0] = Stream{std::move(handle), false};
}
void Task::setStandardInput(const Pipe& pipe) {
  streams_[0] = Stream{pipe.fileHandleForReading(), true};
}
void Task::setStandardOutput(std::shared_ptr<FileHandle> handle) {
  streams_[1] = Stream{std::move(handle), false};
}
void Task::setStandardOutput(const Pipe& pipe) {
  streams_[1] = Stream{pipe.fileHandleForWriting(), true};
}
void Task::setStandardError(std::shared_ptr<FileHandle> handle) {
  streams_[2] = Stream{std::move(handle), false};
}
void Task::setStandardError(const Pipe& pipe) {
  streams_[2] = Stream{pipe.fileHandleForWriting(), true};
}

void Task::setKeepsBrokenPipeIgnored(bool keep) { keepsBrokenPipeIgnored_ = keep; }

void Task::setOwnProcessGroup(bool own) { ownProcessGroup_ = own; }

void Task::setTerminationHandler(TerminationHandler handler) {
  std::scoped_lock guard(lock_);
  terminationHandler_ = std::move(handler);
}

tl::expected<void, std::string> Task::launch() {
  const std::string what = "launch " + executable_;
  const auto failed = [&what](int code) {
    return tl::unexpected(what + ": " + posix::SysError{code, ""}.description());
  };
  if (executable_.empty()) {
    return tl::unexpected(std::string("launch: no executable set"));
  }
  {
    std::scoped_lock guard(lock_);
    if (launched_) {
      return tl::unexpected(what + ": task already launched");
    }
  }

  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.ready() || !attributes.ready()) {
    return failed(ENOMEM);
  }
  std::vector<posix::UniqueFd> lowCopies;
  for (int target = 0; target < 3; ++target) {
    const auto& stream = streams_[target];
    if (!stream.handle) {
      continue;
    }
    int fd = stream.handle->fileDescriptor();
    if (fd < 0) {
      return tl::unexpected(what + ": standard stream " + std::to_string(target) +
                            " is a closed file handle");
    }
    if (fd < 3) {
      auto copy = duplicateAboveStandardStreams(fd);
      if (!copy) {
        return tl::unexpected(what + ": " + copy.error().description());
      }
      fd = copy->get();
      lowCopies.push_back(std::move(*copy));
    }
    if (const int rc = ::posix_spawn_file_actions_adddup2(actions.get(), fd, target); rc != 0) {
      return failed(rc);
    }
  }
  // Everything we open is close-on-exec, but descriptors inherited from whoever started us
  // need not be.
  if (const int rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3); rc != 0) {
    return failed(rc);
  }
  sigset_t all;
  sigfillset(&all);
  if (keepsBrokenPipeIgnored_) {
    // An ignored disposition survives exec; a default one is what SETSIGDEF would give.
    sigdelset(&all, SIGPIPE);
  }
  sigset_t none;
  sigemptyset(&none);
  if (const int rc = ::posix_spawnattr_setsigdefault(attributes.get(), &all); rc != 0) {
    return failed(rc);
  }
  if (const int rc = ::posix_spawnattr_setsigmask(attributes.get(), &none); rc != 0) {
    return failed(rc);
  }
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (ownProcessGroup_) {
    // Set in the child before it runs anything, so nothing it starts escapes the group unless
    // it leaves on purpose.
    if (const int rc = ::posix_spawnattr_setpgroup(attributes.get(), 0); rc != 0) {
      return failed(rc);
    }
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  if (const int rc = ::posix_spawnattr_setflags(attributes.get(), flags); rc != 0) {
    return failed(rc);
  }

  std::vector<std::string> argv;
  argv.reserve(arguments_.size() + 1);
  argv.push_back(executable_);
  argv.insert(argv.end(), arguments_.begin(), arguments_.end());
  auto argvPointers = pointersTo(argv);
  std::vector<std::string> envCopy = environment_;
  auto envPointers = pointersTo(envCopy);

  pid_t pid = 0;
  // glibc's posix_spawn reports a failed exec (missing file, no permission) as its result.
  if (const int rc =
          ::posix_spawn(&pid, executable_.c_str(), actions.get(), attributes.get(),
                        argvPointers.data(), environmentSet_ ? envPointers.data() : environ);
      rc != 0) {
    return failed(rc);
  }
  auto pidfd = openChildPidfd(pid);
  if (!pidfd) {
    // Without a pidfd it could not be signalled safely, so it is not reported as launched.
    killAndReap(pid, -1, ownProcessGroup_);
    return tl::unexpected(what + ": " + pidfd.error().description());
  }
  if (afterSpawn_) {
    if (auto failure = afterSpawn_()) {
      killAndReap(pid, pidfd->get(), ownProcessGroup_);
      return tl::unexpected(what + ": " + *failure);
    }
  }
  const int pidfdNumber = pidfd->get();
  {
    std::scoped_lock guard(lock_);
    launched_ = true;
    pid_ = pid;
    pidfd_ = std::move(*pidfd);
  }
  try {
    waiter_ = std::jthread([self = shared_from_this()] { self->waitForChild(); });
  } catch (const std::exception& failure) {
    killAndReap(pid, pidfdNumber, ownProcessGroup_);
    std::scoped_lock guard(lock_);
    launched_ = false;
    pid_ = 0;
    pidfd_.reset();
    return tl::unexpected(what + ": " + failure.what());
  }

  for (auto& stream : streams_) {
    if (stream.handle && stream.closeAfterLaunch) {
      // The same pipe may serve two streams; its second close finds it closed already.
      [[maybe_unused]] const auto closed = stream.handle->close();
    }
  }
  return {};
}

void Task::endGroup(int pid) const {
  const auto giveUp = std::chrono::steady_clock::now() + kGroupEndLimit;
  for (;;) {
    // The child is a zombie that still holds the group's number, so -pid names this group.
    if (::kill(-pid, SIGKILL) < 0 && errno == ESRCH) {
      return;
    }
    if (!posix::processGroupHasLiveMember(pid) || std::chrono::steady_clock::now() >= giveUp) {
      return;
    }
    std::this_thread::sleep_for(kGroupEndPoll);
  }
}

void Task::waitForChild() {
  int pidfd = -1;
  int pid = 0;
  {
    std::scoped_lock guard(lock_);
    pidfd = pidfd_.get();
    pid = pid_;
  }
  auto reaped = waitForEnd(pidfd, ownProcessGroup_);
  if (ownProcessGroup_ && reaped) {
    endGroup(pid);
    if (auto done = waitForEnd(pidfd, false); !done) {
      reaped = tl::unexpected(done.error());
    }
  }
  TerminationHandler handler;
  {
    std::scoped_lock guard(lock_);
    if (reaped && reaped->si_code == CLD_EXITED) {
      reason_ = TerminationReason::exit;
      status_ = reaped->si_status;
    } else if (reaped) {
      reason_ = TerminationReason::uncaughtSignal;
      status_ = reaped->si_status;
    } else {
      // Reaped by someone else (SIGCHLD ignored or a stray wait): the status is lost.
      reason_ = TerminationReason::exit;
      status_ = 255;
    }
    ended_ = true;
    handler = std::move(terminationHandler_);
    terminationHandler_ = nullptr;
  }
  exited_.notify_all();
  if (handler) {
    try {
      handler(*this);
    } catch (...) {
      // Exceptions never leave the waiter thread.
    }
  }
}

bool Task::isRunning() const {
  std::scoped_lock guard(lock_);
  return launched_ && !ended_;
}

int Task::processIdentifier() const {
  std::scoped_lock guard(lock_);
  return pid_;
}

int Task::terminationStatus() const {
  std::scoped_lock guard(lock_);
  return status_;
}

TerminationReason Task::terminationReason() const {
  std::scoped_lock guard(lock_);
  return reason_;
}

void Task::waitUntilExit() {
  std::unique_lock guard(lock_);
  exited_.wait(guard, [this] { return !launched_ || ended_; });
}

bool Task::waitUntilExit(std::chrono::nanoseconds timeout) {
  std::unique_lock guard(lock_);
  return exited_.wait_for(guard, timeout, [this] { return !launched_ || ended_; });
}

tl::expected<void, std::string> Task::sendSignal(int signal) {
  std::scoped_lock guard(lock_);
  if (!launched_ || ended_) {
    return tl::unexpected("signal " + executable_ + ": no running child");
  }
  // The child is not reaped while ended_ is false, so the pidfd still names it; once reaped
  // the kernel answers ESRCH rather than reaching a newcomer with the same pid.
  if (auto sent = posix::pidfdSendSignal(pidfd_.get(), signal); !sent) {
    return tl::unexpected(sent.error().description() + " (" + executable_ + ")");
  }
  return {};
}

void Task::interrupt() { [[maybe_unused]] const auto sent = sendSignal(SIGINT); }
void Task::terminate() { [[maybe_unused]] const auto sent = sendSignal(SIGTERM); }
void Task::kill() {
  if (ownProcessGroup_) {
    std::scoped_lock guard(lock_);
    if (launched_ && !ended_) {
      // Unreaped until its group is gone, the child keeps the group's number ours.
      ::kill(-pid_, SIGKILL);
    }
    return;
  }
  [[maybe_unused]] const auto sent = sendSignal(SIGKILL);
}

}  // namespace vantreel::platform::process
