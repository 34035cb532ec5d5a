#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tl/expected.hpp>
#include <vector>

#include "platform/posix/unique_fd.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/process/pipe.hpp"
#include "platform/process/termination_reason.hpp"

namespace vantreel::platform::process {

// One child process. Configure it, launch it once, then watch it end.
//
// The child gets only the three standard streams: every other descriptor is closed in it, its
// signal dispositions are reset to the defaults and its signal mask is empty. It is tracked
// through a pidfd, so signals never reach a process that later took over its pid.
//
// Ownership: after a successful launch a waiter thread holds a reference to the task until the
// child has been reaped and the termination handler has returned, so a running child's task
// stays alive even when its creator lets go. The task owns that thread: its destructor joins it,
// or, when the handler itself dropped the last reference, hands it to posix::reapThread.
class Task : public std::enable_shared_from_this<Task> {
 public:
  using TerminationHandler = std::function<void(Task&)>;

  [[nodiscard]] static std::shared_ptr<Task> create();
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // The program's path; it is also the child's argv[0]. No PATH search is made.
  void setExecutable(std::string path);
  // The arguments after argv[0].
  void setArguments(std::vector<std::string> arguments);
  // Replaces the inherited environment as a whole. Never called means inherited.
  void setEnvironment(const std::map<std::string, std::string>& environment);
  // The same, as "NAME=value" entries.
  void setEnvironment(std::vector<std::string> environment);

  // A handle is passed to the child as it is and stays open here; nullptr means inherited.
  // A pipe passes its read end (standard input) or write end (output, error), and that end is
  // closed here after a successful launch.
  void setStandardInput(std::shared_ptr<FileHandle> handle);
  void setStandardInput(const Pipe& pipe);
  void setStandardOutput(std::shared_ptr<FileHandle> handle);
  void setStandardOutput(const Pipe& pipe);
  void setStandardError(std::shared_ptr<FileHandle> handle);
  void setStandardError(const Pipe& pipe);

  // The child keeps SIGPIPE ignored when this process ignores it, instead of the default: a
  // write to an output nobody reads any more then fails with EPIPE instead of ending it, so a
  // child that outlives its reader can still finish what it is doing.
  void setKeepsBrokenPipeIgnored(bool keep);

  // The child leads a process group of its own, and whatever it starts belongs to that group
  // and lives no longer than it: once the child has ended, what is left of the group is killed,
  // and the child counts as ended (its status, the waits, its handler) only when no live
  // process of the group is left. Until then the child stays unreaped, so that the group's
  // number cannot pass to another process. kill() then ends the whole group.
  void setOwnProcessGroup(bool own);

  // Called exactly once per launched child, on the waiter thread, after the status is set. It
  // is released after the call. It may drop the last reference to the task.
  void setTerminationHandler(TerminationHandler handler);

  // Test seam: runs right after the child was spawned; a text makes the launch fail there, as a
  // failing pidfd_open or waiter thread would.
  void setAfterSpawnForTesting(std::function<std::optional<std::string>()> step) {
    afterSpawn_ = std::move(step);
  }

  // Fails with a readable description ("launch /x/openconnect: No such file or directory");
  // then no child exists. A task launches at most once.
  [[nodiscard]] tl::expected<void, std::string> launch();

  [[nodiscard]] bool isRunning() const;
  // 0 before launch; the pid stays readable after the child has ended.
  [[nodiscard]] int processIdentifier() const;
  // The exit code, or the signal number when a signal ended the child; 0 until it ended.
  [[nodiscard]] int terminationStatus() const;
  [[nodiscard]] TerminationReason terminationReason() const;

  // Blocks until the child has ended (returns at once when it never launched). May be called
  // from the termination handler: the status is set before the handler runs.
  void waitUntilExit();
  // Returns whether the child ended within timeout.
  [[nodiscard]] bool waitUntilExit(std::chrono::nanoseconds timeout);

  // SIGINT, SIGTERM and SIGKILL; with a process group of its own, SIGKILL goes to the whole
  // group. A child that has already ended, or was never launched, is left alone.
  void interrupt();
  void terminate();
  void kill();
  // Any signal through the pidfd; fails when there is no running child to receive it.
  [[nodiscard]] tl::expected<void, std::string> sendSignal(int signal);

 private:
  struct Stream {
    std::shared_ptr<FileHandle> handle;
    bool closeAfterLaunch = false;
  };

  Task() = default;
  void waitForChild();
  // Kills what is left of the child's group until no live process of it remains; the child
  // itself has ended and is still unreaped.
  void endGroup(int pid) const;

  // Configuration; set before launch by the one thread that launches.
  std::string executable_;
  std::vector<std::string> arguments_;
  bool environmentSet_ = false;
  std::vector<std::string> environment_;
  Stream streams_[3];
  bool keepsBrokenPipeIgnored_ = false;
  bool ownProcessGroup_ = false;
  std::function<std::optional<std::string>()> afterSpawn_;

  mutable std::mutex lock_;  // guards every member below
  std::condition_variable exited_;
  TerminationHandler terminationHandler_;
  bool launched_ = false;
  bool ended_ = false;
  int pid_ = 0;
  posix::UniqueFd pidfd_;
  int status_ = 0;
  TerminationReason reason_ = TerminationReason::exit;

  std::jthread waiter_;  // set once by launch, before the child can be reaped
};

}  // namespace vantreel::platform::process
