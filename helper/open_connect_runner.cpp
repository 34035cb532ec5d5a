#include "helper/open_connect_runner.hpp"

#include <algorithm>
#include <exception>

#include "helper/child_task.hpp"
#include "helper/helper_log.hpp"
#include "helper/network_undo.hpp"
#include "helper/prepared_child.hpp"
#include "helper/secret_input.hpp"
#include "helper/stale_host_routes.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/secret_wipe.hpp"
#include "shared/argument_validation.hpp"

namespace vantreel {
namespace {

namespace process = platform::process;

// Beyond the replay's own bound: the output's drain and the rest of the exit's handling.
constexpr auto kExitHandlingBound = std::chrono::seconds(17);

}  // namespace

std::shared_ptr<OpenConnectRunner> OpenConnectRunner::create() {
  return create(Settings::system());
}

std::shared_ptr<OpenConnectRunner> OpenConnectRunner::create(Settings settings) {
  return std::shared_ptr<OpenConnectRunner>(new OpenConnectRunner(std::move(settings)));
}

tl::expected<void, RunnerError> OpenConnectRunner::start(const StartRequest& request,
                                                         process::FileHandle& passwordPipe,
                                                         const std::string& appBundle,
                                                         ExitCallback onExit, LogHandler logHandler,
                                                         std::weak_ptr<const void> owner) {
  std::shared_ptr<PendingStart> pending;
  tl::expected<void, RunnerError> started;
  try {
    auto claimed = claimStart(std::move(owner));
    if (!claimed) {
      return tl::unexpected(claimed.error());
    }
    pending = std::move(*claimed);
    started =
        prepareAndLaunch(request, passwordPipe, appBundle, std::move(onExit), logHandler, *pending);
  } catch (const std::exception& failure) {
    started = tl::unexpected(RunnerError::spawnFailed(failure.what()));
  } catch (...) {
    started = tl::unexpected(RunnerError::spawnFailed("start: unexpected failure"));
  }
  endStart(pending);
  return started;
}

tl::expected<std::shared_ptr<PendingStart>, RunnerError> OpenConnectRunner::claimStart(
    std::weak_ptr<const void> owner) {
  auto wake = platform::posix::makeWakeFd();
  std::scoped_lock guard(lock_);
  // A start under way counts as running: a second one is refused at once, never queued.
  if (process_ || starting_) {
    return tl::unexpected(RunnerError::alreadyRunning());
  }
  if (closed_) {
    return tl::unexpected(RunnerError::spawnFailed("the helper is shutting down"));
  }
  if (!wake) {
    return tl::unexpected(RunnerError::spawnFailed(wake.error().description()));
  }
  starting_ = std::make_shared<PendingStart>();
  starting_->wake = std::move(*wake);
  starting_->owner = std::move(owner);
  starting_->generation = generation_ + 1;
  starting_->since = std::chrono::system_clock::now();
  return starting_;
}

void OpenConnectRunner::endStart(const std::shared_ptr<PendingStart>& pending) {
  if (!pending) {
    return;
  }
  std::scoped_lock guard(lock_);
  if (starting_ == pending) {
    starting_.reset();
  }
}

std::optional<RunnerError> OpenConnectRunner::interruptionOf(const PendingStart& pending) const {
  std::scoped_lock guard(lock_);
  return pending.interruption;
}

bool OpenConnectRunner::interruptStartLocked(const std::shared_ptr<const void>* owner,
                                             RunnerError reason) {
  if (!starting_ || (owner && !isOwner(starting_->owner, *owner))) {
    return false;
  }
  starting_->interrupt(std::move(reason));
  return true;
}

tl::expected<void, RunnerError> OpenConnectRunner::prepareAndLaunch(
    const StartRequest& request, process::FileHandle& passwordPipe, const std::string& appBundle,
    ExitCallback onExit, LogHandler& logHandler, PendingStart& pending) {
  auto prepared = PreparedChild::prepare(request, appBundle, settings_);
  if (!prepared) {
    return tl::unexpected(prepared.error());
  }
  auto secret = readSecret(passwordPipe, *prepared, pending);
  if (!secret) {
    return tl::unexpected(secret.error());
  }
  const platform::posix::WipedOnExit wipedSecret(*secret);
  StaleHostRoutes::remove(prepared->server, settings_, pending.wake.get());
  auto child = ChildTask::make(prepared->invocation, *secret);
  if (!child) {
    return tl::unexpected(child.error());
  }
  const std::uint64_t generation = pending.generation;
  child->watch(
      [weak = weak_from_this(), generation](const std::string& line) {
        if (auto self = weak.lock()) {
          self->emit(line, generation);
        }
      },
      [weak = weak_from_this(), generation, onExit = std::move(onExit),
       copies = prepared->copies](process::Task& ended) mutable {
        if (auto self = weak.lock()) {
          self->undoNetwork(copies->script());
        }
        copies.reset();
        if (auto self = weak.lock()) {
          self->childExited(ended, generation, onExit);
        }
      });
  // A task that did not launch is released here, after the lock: its exit callback goes with it.
  auto launched = launchAndRecord(child->task(), *prepared, logHandler, pending);
  if (!launched) {
    child->unwatch();
  }
  return launched;
}

tl::expected<std::string, RunnerError> OpenConnectRunner::readSecret(
    process::FileHandle& secretPipe, const PreparedChild& prepared, PendingStart& pending) const {
  auto secret = SecretInput::read(secretPipe, settings_.passwordDeadline, pending.wake.get());
  if (!secret) {
    // A read cut short by a stop or the daemon's end says so rather than blame the pipe.
    if (auto interrupted = interruptionOf(pending)) {
      return tl::unexpected(*interrupted);
    }
    return secret;
  }
  if (prepared.takesCookie && !ArgumentValidation::isAcceptableCookie(*secret)) {
    platform::posix::wipeSecret(*secret);
    return tl::unexpected(
        RunnerError::invalidRequest(std::string(ArgumentValidation::cookieInvalid)));
  }
  return secret;
}

tl::expected<void, RunnerError> OpenConnectRunner::launchAndRecord(
    const std::shared_ptr<process::Task>& task, const PreparedChild& prepared,
    LogHandler& logHandler, PendingStart& pending) {
  std::scoped_lock guard(lock_);
  if (pending.interruption) {
    return tl::unexpected(*pending.interruption);
  }
  if (closed_) {
    return tl::unexpected(RunnerError::spawnFailed("the helper is shutting down"));
  }
  if (auto launched = task->launch(); !launched) {
    return tl::unexpected(RunnerError::spawnFailed(launched.error()));
  }
  record_.write(task->processIdentifier(), prepared.copies->directory());
  process_ = task;
  tunnelOwner_ = std::move(pending.owner);
  starting_.reset();
  generation_ = pending.generation;
  state_.launched();
  // The replaced handler goes back to the caller, to be released after the lock.
  std::swap(logHandler_, logHandler);
  HelperLog::info("started bundled OpenConnect for " + prepared.server);
  return {};
}

void OpenConnectRunner::emit(const std::string& line, std::uint64_t generation) {
  LogHandler handler;
  {
    std::scoped_lock guard(lock_);
    // A line belongs to the tunnel whose child wrote it: once that child's exit was handled,
    // the handler may be the next owner's, who must never see it.
    if (process_ && generation == generation_) {
      handler = logHandler_;
      state_.follow(line);
    }
  }
  if (handler) {
    handler(line);
  } else {
    HelperLog::info("line of an ended tunnel: " + line);
  }
}

void OpenConnectRunner::undoNetwork(const std::string& script) {
  const auto toCaller = [this](const std::string& line) {
    if (const auto handler = currentLogHandler()) {
      handler(line);
    }
  };
  const NetworkUndo undo(settings_.keptDirectory);
  const auto entry = undo.replay(script, toCaller, settings_.disconnectBound);
  undo.release();
  if (entry) {
    HelperLog::info(*entry);
  }
}

void OpenConnectRunner::childExited(process::Task& task, std::uint64_t generation,
                                    const ExitCallback& onExit) {
  std::shared_ptr<process::Task> released;
  {
    std::scoped_lock guard(lock_);
    if (process_ && generation == generation_) {
      released = std::move(process_);
      tunnelOwner_.reset();
      state_.ended();
      // Under the lock: the next start writes its own record.
      record_.erase();
    }
  }
  const int status = task.terminationStatus();
  HelperLog::info("OpenConnect exited rc=" + std::to_string(status));
  if (onExit) {
    onExit(status);
  }
  {
    std::scoped_lock guard(lock_);
    handled_ = std::max(handled_, generation);
  }
  exitHandled_.notify_all();
}

OpenConnectRunner::StopTarget OpenConnectRunner::takeForStop(
    const std::shared_ptr<const void>* owner, RunnerError startEndedBy) {
  std::scoped_lock guard(lock_);
  if (!process_) {
    StopTarget target;
    target.startEnded = interruptStartLocked(owner, std::move(startEndedBy));
    return target;
  }
  if (owner && !isOwner(tunnelOwner_, *owner)) {
    return {};
  }
  state_.stopping();
  return {.child = process_, .generation = generation_, .startEnded = false};
}

tl::expected<std::int64_t, RunnerError> OpenConnectRunner::stop() {
  return stopAndWait(RunnerError::spawnFailed("the start was stopped before OpenConnect launched"));
}

tl::expected<std::int64_t, RunnerError> OpenConnectRunner::stopAndWait(RunnerError startEndedBy) {
  const auto target = takeForStop(nullptr, std::move(startEndedBy));
  if (!target.child) {
    if (target.startEnded) {
      return 0;
    }
    return tl::unexpected(RunnerError::notRunning());
  }
  ChildTask::stop(*target.child);
  // After SIGKILL the exit comes at once; its handling waits a bounded time for the output.
  waitUntilHandled(target.generation);
  return target.child->processIdentifier();
}

void OpenConnectRunner::waitUntilHandled(std::uint64_t generation) {
  // The child's group is gone once its exit is seen; what is left is the output's drain and
  // the replayed disconnect, each bounded.
  std::unique_lock guard(lock_);
  (void)exitHandled_.wait_for(guard, NetworkUndo::kMaxReplayBound + kExitHandlingBound,
                              [&] { return handled_ >= generation; });
}

bool OpenConnectRunner::stopOwnedBy(const std::shared_ptr<const void>& owner) {
  if (!owner) {
    return false;
  }
  const auto target = takeForStop(
      &owner, RunnerError::spawnFailed("the start was stopped before OpenConnect launched"));
  if (!target.child) {
    return target.startEnded;
  }
  ChildTask::stop(*target.child);
  return true;
}

void OpenConnectRunner::shutDown() {
  {
    // A start under way ends before it launches: its launch finds the runner closed.
    std::scoped_lock guard(lock_);
    closed_ = true;
  }
  (void)stopAndWait(RunnerError::spawnFailed("the helper is shutting down"));
}

tl::expected<void, std::string> OpenConnectRunner::lockInstance() {
  std::scoped_lock guard(lock_);
  return record_.lock();
}

void OpenConnectRunner::recoverEarlierInstance() { record_.recoverEarlier(); }

std::string OpenConnectRunner::currentState() const {
  std::scoped_lock guard(lock_);
  // A start that waits (for its password among others) holds every other one off: the status
  // must not call that idle. It is the sign-in's beginning, so it keeps the four states.
  if (starting_ && !process_) {
    return std::string(TunnelState::kAuthenticating);
  }
  return std::string(state_.name());
}

std::optional<OpenConnectRunner::StartUnderWay> OpenConnectRunner::startUnderWay() const {
  std::scoped_lock guard(lock_);
  if (!starting_) {
    return std::nullopt;
  }
  return StartUnderWay{starting_->owner, starting_->since};
}

bool OpenConnectRunner::isReconnecting() const {
  std::scoped_lock guard(lock_);
  return process_ && state_.reconnecting();
}

std::int64_t OpenConnectRunner::currentPid() const {
  std::scoped_lock guard(lock_);
  return process_ ? process_->processIdentifier() : 0;
}

OpenConnectRunner::LogHandler OpenConnectRunner::currentLogHandler() const {
  std::scoped_lock guard(lock_);
  return logHandler_;
}

void OpenConnectRunner::setLogHandler(LogHandler handler) {
  std::scoped_lock guard(lock_);
  std::swap(logHandler_, handler);
}

}  // namespace vantreel
