#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <variant>
#include <vector>

#include "helper/instance_record.hpp"
#include "helper/pending_start.hpp"
#include "helper/prepared_child.hpp"
#include "helper/runner_error.hpp"
#include "helper/runner_settings.hpp"
#include "helper/tunnel_state.hpp"
#include "helper/validated_start.hpp"
#include "platform/posix/unique_fd.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/process/task.hpp"
#include "platform/service/layout.hpp"
#include "shared/helper_cookie_start_request.hpp"
#include "shared/helper_start_request.hpp"

namespace vantreel {

// Owns the one OpenConnect child the daemon may run: starts it from verified copies of the
// programs in the caller's signed app bundle, feeds it the password, forwards its output lines
// to one replaceable log handler, tracks the tunnel state and stops the child on request.
// All operations may be called from any thread.
class OpenConnectRunner : public std::enable_shared_from_this<OpenConnectRunner> {
 public:
  using LogHandler = std::function<void(const std::string& line)>;
  using ExitCallback = std::function<void(std::int32_t status)>;
  using StartRequest = vantreel::StartRequest;

  using Settings = RunnerSettings;

  static std::shared_ptr<OpenConnectRunner> create();  // the daemon's real one
  static std::shared_ptr<OpenConnectRunner> create(Settings settings);

  // start: installs logHandler as the log handler only once the child is recorded, so a
  // refused start leaves a running tunnel's handler alone. owner, recorded with the child and
  // forgotten with it, is what stopOwnedBy recognises. The lock is held only to claim the start
  // and to launch and record the child: the preparations between (verification, copies, the
  // password and the name lookup) leave stop, status and the daemon's end free, and a start
  // that finds another under way is refused at once.
  [[nodiscard]] tl::expected<void, RunnerError> start(const StartRequest& request,
                                                      platform::process::FileHandle& passwordPipe,
                                                      const std::string& appBundle,
                                                      ExitCallback onExit, LogHandler logHandler,
                                                      std::weak_ptr<const void> owner = {});
  // Stops the child: SIGINT, then SIGTERM after 5 s, then SIGKILL to its whole group after 3 s
  // more. Returns once its exit has been handled (no process of the tunnel left, its owed
  // disconnect replayed, the runner "idle" again), or after a bound. Yields the pid of the
  // child it stopped.
  // A start still preparing is ended instead, before it launches anything; the pid is then 0.
  [[nodiscard]] tl::expected<std::int64_t, RunnerError> stop();
  // Stops the running child (or ends the start under way), as stop does, only when owner
  // started it (the very object); false when it did not, or no child runs.
  bool stopOwnedBy(const std::shared_ptr<const void>& owner);
  // The daemon's own end: refuses every later start, ends one still preparing, stops a running
  // child as stop does and returns once its exit has been handled (its onExit called, its
  // copies removed).
  void shutDown();
  // Takes the lock that one daemon per service holds for its life, before it recovers anything;
  // fails when another live daemon holds it. Nothing to lock without a tunnel record.
  [[nodiscard]] tl::expected<void, std::string> lockInstance();
  // For a daemon that starts: stops an OpenConnect that an earlier instance recorded and left
  // running (recognised by pid, start time and its program inside one of the copies), removes
  // copy directories that nobody uses any more, and logs one entry when it found anything.
  void recoverEarlierInstance();
  // "authenticating" from the claim of a start (while it prepares and waits for its password,
  // without a pid) and once its child runs, then "connected", "stopping", "idle".
  std::string currentState() const;
  // The start under way, for the status: who claimed it and since when.
  struct StartUnderWay {
    std::weak_ptr<const void> owner;
    std::chrono::system_clock::time_point since;
  };
  [[nodiscard]] std::optional<StartUnderWay> startUnderWay() const;
  // A connected tunnel whose link OpenConnect is getting back.
  bool isReconnecting() const;
  std::int64_t currentPid() const;
  void setLogHandler(LogHandler handler);

 private:
  explicit OpenConnectRunner(Settings settings)
      : settings_(std::move(settings)), record_(settings_) {}

  [[nodiscard]] tl::expected<std::shared_ptr<PendingStart>, RunnerError> claimStart(
      std::weak_ptr<const void> owner);
  void endStart(const std::shared_ptr<PendingStart>& pending);
  [[nodiscard]] tl::expected<void, RunnerError> prepareAndLaunch(
      const StartRequest& request, platform::process::FileHandle& passwordPipe,
      const std::string& appBundle, ExitCallback onExit, LogHandler& logHandler,
      PendingStart& pending);
  // The secret, once the start's waits are over; a cookie only when it is acceptable as one.
  [[nodiscard]] tl::expected<std::string, RunnerError> readSecret(
      platform::process::FileHandle& secretPipe, const PreparedChild& prepared,
      PendingStart& pending) const;
  // Under the lock: launches task unless the start was interrupted meanwhile, and records it.
  [[nodiscard]] tl::expected<void, RunnerError> launchAndRecord(
      const std::shared_ptr<platform::process::Task>& task, const PreparedChild& prepared,
      LogHandler& logHandler, PendingStart& pending);
  [[nodiscard]] std::optional<RunnerError> interruptionOf(const PendingStart& pending) const;
  // Ends the start under way with reason; the caller holds lock_. False when none is under way,
  // or (with owner) when owner did not claim it.
  bool interruptStartLocked(const std::shared_ptr<const void>* owner, RunnerError reason);
  // What a stop found: the child, marked "stopping", and its generation; no child when none
  // runs, or (with owner) when owner did not start it. Without a child, a start under way is
  // ended instead (startEnded).
  struct StopTarget {
    std::shared_ptr<platform::process::Task> child;
    std::uint64_t generation = 0;
    bool startEnded = false;
  };
  StopTarget takeForStop(const std::shared_ptr<const void>* owner, RunnerError startEndedBy);
  // Stops the child as stop does, or ends the start under way with startEndedBy.
  tl::expected<std::int64_t, RunnerError> stopAndWait(RunnerError startEndedBy);
  [[nodiscard]] LogHandler currentLogHandler() const;
  // Waits, bounded, until the exit of the child of generation has been handled in full.
  void waitUntilHandled(std::uint64_t generation);
  void emit(const std::string& line, std::uint64_t generation);
  void childExited(platform::process::Task& task, std::uint64_t generation,
                   const ExitCallback& onExit);
  // Replays the disconnect that the ended child's script owes, its lines going to the log
  // handler like the child's; before the end is reported, with the child still recorded, so
  // that no other tunnel starts meanwhile.
  void undoNetwork(const std::string& script);

  const Settings settings_;
  InstanceRecord record_;  // the running child, for a later instance

  // guards process_, tunnelOwner_, starting_, generation_, handled_, closed_, state_ and
  // logHandler_; never held while a start prepares
  mutable std::mutex lock_;
  std::condition_variable exitHandled_;  // handled_ has grown
  std::shared_ptr<platform::process::Task> process_;
  std::weak_ptr<const void> tunnelOwner_;   // who started process_; empty with it
  std::shared_ptr<PendingStart> starting_;  // the start under way; never beside process_
  std::uint64_t generation_ = 0;  // counts starts; tells a recorded child's lines from others
  std::uint64_t handled_ = 0;     // the last generation whose exit was handled in full
  bool closed_ = false;           // shut down: no start succeeds any more
  TunnelState state_;
  LogHandler logHandler_;
};

}  // namespace vantreel
