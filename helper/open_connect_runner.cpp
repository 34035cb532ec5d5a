#include "helper/open_connect_runner.hpp"

#include <openssl/crypto.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>

#include "helper/helper_log.hpp"
#include "helper/line_splitter.hpp"
#include "helper/network_undo.hpp"
#include "helper/open_connect_line.hpp"
#include "platform/posix/check.hpp"
#include "platform/posix/io.hpp"
#include "platform/process/pipe.hpp"
#include "platform/service/host.hpp"
#include "platform/xpc/service_path.hpp"
#include "shared/argument_validation.hpp"
#include "shared/constants.hpp"

namespace vantreel {
namespace {

namespace process = platform::process;

constexpr std::string_view kIdle = "idle";
constexpr std::string_view kAuthenticating = "authenticating";
constexpr std::string_view kConnected = "connected";
constexpr std::string_view kStopping = "stopping";

constexpr std::size_t kMaxSecretBytes = 8192;
constexpr auto kInterruptGrace = std::chrono::seconds(5);
constexpr auto kTerminateGrace = std::chrono::seconds(3);
// How long the end of a child waits for its output streams to reach end of file.
constexpr auto kOutputDrainLimit = std::chrono::milliseconds(2000);

// Overwrites a buffer that held the password before it is released.
class Wiped {
 public:
  explicit Wiped(std::string& secret) : secret_(secret) {}
  ~Wiped() { OPENSSL_cleanse(secret_.data(), secret_.size()); }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;

 private:
  std::string& secret_;
};

const icu::RegexPattern& tunnelInterfacePattern() {
  static const std::unique_ptr<icu::RegexPattern> pattern = [] {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8("\\b(?:tun|utun|tap)\\d+\\b"), where, status));
    VT_CHECK(U_SUCCESS(status) && compiled);
    return compiled;
  }();
  return *pattern;
}

bool namesTunnelInterface(const std::string& line) {
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(line);
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::RegexMatcher> matcher(tunnelInterfacePattern().matcher(text, status));
  if (U_FAILURE(status) || !matcher) {
    return false;
  }
  const bool found = matcher->find(status) != 0;
  return U_SUCCESS(status) && found;
}

// The password: the text before the first line feed of at most kMaxSecretBytes bytes that the
// client writes before closing its end. A client that neither closes nor fills the pipe is cut
// off at the deadline, or sooner by a stop or the daemon's end (interrupt); the pipe is read
// through a description of the daemon's own, so that what the client does with its own ends
// cannot make the read outlast the deadline.
tl::expected<std::string, RunnerError> readSecret(process::FileHandle& pipe,
                                                  std::chrono::milliseconds deadline, int interrupt,
                                                  bool (*isValidUtf8)(std::string_view)) {
  auto bytes = pipe.readPipeOfLength(kMaxSecretBytes, std::chrono::steady_clock::now() + deadline,
                                     interrupt);
  if (!bytes) {
    return tl::unexpected(RunnerError::passwordReadFailed());
  }
  const Wiped wiped(*bytes);
  if (bytes->empty() || !isValidUtf8(*bytes)) {
    return tl::unexpected(RunnerError::passwordReadFailed());
  }
  std::string password = bytes->substr(0, bytes->find('\n'));
  if (password.empty()) {
    return tl::unexpected(RunnerError::passwordReadFailed());
  }
  return password;
}

// The child's standard input, holding the password and one line feed before the child runs
// (at most 8193 bytes, which the pipe takes at once), so that nothing after the launch can fail
// and leave a child that is not recorded.
tl::expected<process::Pipe, RunnerError> inputCarrying(const std::string& secret) {
  auto input = process::Pipe::make();
  if (!input) {
    return tl::unexpected(RunnerError::spawnFailed(input.error().description()));
  }
  std::string line;
  const Wiped wiped(line);
  line.reserve(secret.size() + 1);
  line += secret;
  line += '\n';
  if (auto written = input->fileHandleForWriting()->writeData(line); !written) {
    return tl::unexpected(RunnerError::spawnFailed(written.error().description()));
  }
  [[maybe_unused]] const auto closed = input->fileHandleForWriting()->close();
  return std::move(*input);
}

void configureChild(process::Task& task, const OpenConnectInvocation& invocation,
                    const process::Pipe& input, const process::Pipe& output,
                    const process::Pipe& error) {
  task.setExecutable(invocation.program);
  task.setArguments(invocation.arguments);
  task.setEnvironment(invocation.environment);
  task.setStandardInput(input);
  task.setStandardOutput(output);
  task.setStandardError(error);
  // Should the daemon die, OpenConnect outlives its output's reader; it must still be able to
  // log off and run its script's disconnect when a later instance stops it.
  task.setKeepsBrokenPipeIgnored(true);
  // Its scripts, and what they start, end with it: a disconnect script cut short by the stop
  // must not run on beside the replay, nor reach the next tunnel's interface.
  task.setOwnProcessGroup(true);
}

}  // namespace

OpenConnectRunner::Environment OpenConnectRunner::Environment::system() {
  const auto layout = platform::service::Layout::running();
  Environment environment;
  environment.exportDirectory = "/var/run/" + std::string(Constants::helperBundleID);
  environment.certificateSource = layout.rootCertificateSource();
  environment.routeCommand = [layout](const std::string& address) {
    return layout.routeDeleteCommand(address);
  };
  environment.copiesDirectory = environment.exportDirectory;
  // One record per service: daemons serving other service directories (tests) share the
  // copies directory, never a record.
  if (const auto service = platform::xpc::servicePath(Constants::machService)) {
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const char c : *service) {
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    std::array<char, 17> hex{};
    (void)std::snprintf(hex.data(), hex.size(), "%016llx", static_cast<unsigned long long>(hash));
    environment.tunnelRecord = environment.copiesDirectory + "/tunnel." + hex.data();
    // A tunnel can be up when the machine goes down: its resolver file outlives /run.
    environment.keptDirectory =
        "/var/lib/" + std::string(Constants::helperBundleID) + "/tunnel." + hex.data();
  }
  return environment;
}

std::shared_ptr<OpenConnectRunner> OpenConnectRunner::create() {
  return create(Environment::system());
}

std::shared_ptr<OpenConnectRunner> OpenConnectRunner::create(Environment environment) {
  return std::shared_ptr<OpenConnectRunner>(new OpenConnectRunner(std::move(environment)));
}

bool OpenConnectRunner::isValidUtf8(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) {
    return false;
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto length = static_cast<std::int32_t>(bytes.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(data, i, length, c);
    if (c < 0) {
      return false;
    }
  }
  return true;
}

tl::expected<void, RunnerError> OpenConnectRunner::start(const StartRequest& request,
                                                         process::FileHandle& passwordPipe,
                                                         const std::string& appBundle,
                                                         ExitCallback onExit, LogHandler logHandler,
                                                         std::weak_ptr<const void> owner) {
  std::shared_ptr<PendingStart> pending;
  try {
    auto claimed = claimStart(std::move(owner));
    if (!claimed) {
      return tl::unexpected(claimed.error());
    }
    pending = std::move(*claimed);
    auto started =
        prepareAndLaunch(request, passwordPipe, appBundle, std::move(onExit), logHandler, *pending);
    endStart(pending);
    return started;
  } catch (const std::exception& failure) {
    endStart(pending);
    return tl::unexpected(RunnerError::spawnFailed(failure.what()));
  } catch (...) {
    endStart(pending);
    return tl::unexpected(RunnerError::spawnFailed("start: unexpected failure"));
  }
}

tl::expected<std::shared_ptr<OpenConnectRunner::PendingStart>, RunnerError>
OpenConnectRunner::claimStart(std::weak_ptr<const void> owner) {
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
  if (!starting_) {
    return false;
  }
  const auto& claimedBy = starting_->owner;
  if (owner && (claimedBy.owner_before(*owner) || owner->owner_before(claimedBy))) {
    return false;
  }
  if (!starting_->interruption) {
    starting_->interruption = std::move(reason);
  }
  platform::posix::signalWake(starting_->wake.get());
  return true;
}

tl::expected<void, RunnerError> OpenConnectRunner::prepareAndLaunch(
    const StartRequest& request, process::FileHandle& passwordPipe, const std::string& appBundle,
    ExitCallback onExit, LogHandler& logHandler, PendingStart& pending) {
  auto prepared = prepareChild(request, appBundle);
  if (!prepared) {
    return tl::unexpected(prepared.error());
  }
  auto password = readPassword(passwordPipe, pending);
  if (!password) {
    return tl::unexpected(password.error());
  }
  const Wiped wipedSecret(*password);
  if (prepared->takesCookie && !ArgumentValidation::isAcceptableCookie(*password)) {
    return tl::unexpected(
        RunnerError::invalidRequest(std::string(ArgumentValidation::cookieInvalid)));
  }

  removeStaleHostRoutes(prepared->server, environment_, pending.wake.get());

  auto input = inputCarrying(*password);
  auto output = process::Pipe::make();
  auto error = process::Pipe::make();
  if (!input) {
    return tl::unexpected(input.error());
  }
  if (!output || !error) {
    const auto& failed = !output ? output.error() : error.error();
    return tl::unexpected(RunnerError::spawnFailed(failed.description()));
  }
  auto task = process::Task::create();
  configureChild(*task, prepared->invocation, *input, *output, *error);

  const std::uint64_t generation = pending.generation;
  auto drain = std::make_shared<OutputDrain>(2);
  task->setTerminationHandler([weak = weak_from_this(), generation, onExit = std::move(onExit),
                               copies = prepared->copies, drain](process::Task& child) mutable {
    [[maybe_unused]] const bool drained = drain->waitUntilDrained(kOutputDrainLimit);
    if (auto self = weak.lock()) {
      self->undoNetwork(copies->script());
    }
    copies.reset();
    if (auto self = weak.lock()) {
      self->childExited(child, generation, onExit);
    }
  });
  forward(output->fileHandleForReading(), generation, drain);
  forward(error->fileHandleForReading(), generation, drain);

  // A task that did not launch is released here, after the lock: its exit callback goes with it.
  auto launched = launchAndRecord(task, *prepared, logHandler, pending);
  if (!launched) {
    output->fileHandleForReading()->clearReadabilityHandler();
    error->fileHandleForReading()->clearReadabilityHandler();
  }
  return launched;
}

tl::expected<OpenConnectRunner::PreparedChild, RunnerError> OpenConnectRunner::prepareChild(
    const StartRequest& request, const std::string& appBundle) const {
  auto validated = ValidatedStart::from(request);
  if (!validated) {
    return tl::unexpected(validated.error());
  }
  const auto program = resolveOpenConnectItem(appBundle);
  if (!program) {
    return tl::unexpected(program.error());
  }
  const auto script = resolveVpncScriptItem(appBundle);
  if (!script) {
    return tl::unexpected(script.error());
  }
  if (environment_.afterVerification) {
    environment_.afterVerification();
  }
  // What runs as root from here on is the copy, which the bundle's owner cannot touch.
  auto copies = makeVerifiedCopies(*program, *script, environment_.copiesDirectory);
  if (!copies) {
    return tl::unexpected(copies.error());
  }
  // A tunnel never runs without its undo, nor over a disconnect an earlier one still owes.
  if (auto ready =
          NetworkUndo(environment_.keptDirectory)
              .prepare((*copies)->directory(),
                       [](const std::string& line) { HelperLog::info("vpnc-script: " + line); },
                       environment_.disconnectBound);
      !ready) {
    return tl::unexpected(RunnerError::spawnFailed(ready.error()));
  }
  const auto cafile = exportSystemRoots(environment_);
  std::optional<std::string_view> cafileArgument;
  if (cafile) {
    cafileArgument = *cafile;
  }
  PreparedChild prepared;
  prepared.invocation = validated->invocation((*copies)->directory(), cafileArgument);
  prepared.copies = std::move(*copies);
  prepared.server = validated->server();
  prepared.takesCookie = validated->takesCookie();
  return prepared;
}

tl::expected<std::string, RunnerError> OpenConnectRunner::readPassword(
    process::FileHandle& passwordPipe, PendingStart& pending) const {
  auto password =
      readSecret(passwordPipe, environment_.passwordDeadline, pending.wake.get(), &isValidUtf8);
  if (!password) {
    // A read cut short by a stop or the daemon's end says so rather than blame the pipe.
    if (auto interrupted = interruptionOf(pending)) {
      return tl::unexpected(*interrupted);
    }
  }
  return password;
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
  writeTunnelRecord(task->processIdentifier(), prepared.copies->directory());
  process_ = task;
  tunnelOwner_ = std::move(pending.owner);
  starting_.reset();
  generation_ = pending.generation;
  state_ = kAuthenticating;
  reconnecting_ = false;
  // The replaced handler goes back to the caller, to be released after the lock.
  std::swap(logHandler_, logHandler);
  HelperLog::info("started bundled OpenConnect for " + prepared.server);
  return {};
}

void OpenConnectRunner::forward(const std::shared_ptr<process::FileHandle>& readEnd,
                                std::uint64_t generation, std::shared_ptr<OutputDrain> drain) {
  // The handler keeps its own read end alive until end of file and then lets go of it.
  readEnd->setReadabilityHandler(
      [weak = weak_from_this(), generation, readEnd, drain = std::move(drain),
       splitter = std::make_shared<LineSplitter>()](process::FileHandle& handle) {
        auto data = handle.availableData();
        const bool ended = !data || data->empty();
        const auto lines = ended ? splitter->finish() : splitter->feed(*data);
        if (auto self = weak.lock()) {
          for (const auto& line : lines) {
            self->emit(line, generation);
          }
        }
        if (ended) {
          drain->streamEnded();
          handle.clearReadabilityHandler();
        }
      });
}

void OpenConnectRunner::emit(const std::string& line, std::uint64_t generation) {
  const bool namesInterface = namesTunnelInterface(line);
  const auto meaning = classifyOpenConnectLine(line);
  LogHandler handler;
  {
    std::scoped_lock guard(lock_);
    // A line belongs to the tunnel whose child wrote it: once that child's exit was handled,
    // the handler may be the next owner's, who must never see it.
    if (process_ && generation == generation_) {
      handler = logHandler_;
      if (namesInterface) {
        state_ = kConnected;
      }
    }
    noteReconnection(meaning, process_ && generation == generation_);
  }
  if (handler) {
    handler(line);
  } else {
    HelperLog::info("line of an ended tunnel: " + line);
  }
}

void OpenConnectRunner::undoNetwork(const std::string& script) {
  const NetworkUndo undo(environment_.keptDirectory);
  const auto entry = undo.replay(
      script,
      [this](const std::string& line) {
        LogHandler handler;
        {
          std::scoped_lock guard(lock_);
          handler = logHandler_;
        }
        if (handler) {
          handler(line);
        }
      },
      environment_.disconnectBound);
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
      state_ = kIdle;
      if (!environment_.tunnelRecord.empty()) {
        // Under the lock: the next start writes its own record.
        std::error_code ignored;
        std::filesystem::remove(environment_.tunnelRecord, ignored);
      }
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

std::shared_ptr<process::Task> OpenConnectRunner::takeForStop(
    const std::shared_ptr<const void>* owner, bool& startEnded, std::uint64_t* generation) {
  std::scoped_lock guard(lock_);
  if (!process_) {
    startEnded = interruptStartLocked(
        owner, RunnerError::spawnFailed("the start was stopped before OpenConnect launched"));
    return nullptr;
  }
  // Identity of the object, not of a pointer value a newer object may have taken over.
  if (owner && (tunnelOwner_.owner_before(*owner) || owner->owner_before(tunnelOwner_))) {
    return nullptr;
  }
  state_ = kStopping;
  if (generation != nullptr) {
    *generation = generation_;
  }
  return process_;
}

void OpenConnectRunner::stopChild(process::Task& child) {
  // The waits are on the child's pidfd (through its waiter), never on a timer loop.
  child.interrupt();
  if (!child.waitUntilExit(kInterruptGrace)) {
    child.terminate();
    if (!child.waitUntilExit(kTerminateGrace)) {
      child.kill();
    }
  }
}

tl::expected<std::int64_t, RunnerError> OpenConnectRunner::stop() {
  bool startEnded = false;
  std::uint64_t generation = 0;
  const auto child = takeForStop(nullptr, startEnded, &generation);
  if (!child) {
    if (startEnded) {
      return 0;
    }
    return tl::unexpected(RunnerError::notRunning());
  }
  stopChild(*child);
  waitUntilHandled(generation);
  return child->processIdentifier();
}

void OpenConnectRunner::waitUntilHandled(std::uint64_t generation) {
  // The child's group is gone once its exit is seen; what is left is the output's drain and
  // the replayed disconnect, each bounded.
  std::unique_lock guard(lock_);
  (void)exitHandled_.wait_for(
      guard, kOutputDrainLimit + NetworkUndo::kMaxReplayBound + std::chrono::seconds(15),
      [&] { return handled_ >= generation; });
}

bool OpenConnectRunner::stopOwnedBy(const std::shared_ptr<const void>& owner) {
  if (!owner) {
    return false;
  }
  bool startEnded = false;
  const auto child = takeForStop(&owner, startEnded);
  if (!child) {
    return startEnded;
  }
  stopChild(*child);
  return true;
}

void OpenConnectRunner::shutDown() {
  std::shared_ptr<process::Task> child;
  std::uint64_t generation = 0;
  {
    // A start under way ends before it launches: its launch finds the runner closed.
    std::scoped_lock guard(lock_);
    closed_ = true;
    (void)interruptStartLocked(nullptr, RunnerError::spawnFailed("the helper is shutting down"));
    if (process_) {
      child = process_;
      generation = generation_;
      state_ = kStopping;
    }
  }
  if (!child) {
    return;
  }
  stopChild(*child);
  // After SIGKILL the exit comes at once; its handling waits a bounded time for the output.
  waitUntilHandled(generation);
}

tl::expected<void, std::string> OpenConnectRunner::lockInstance() {
  if (environment_.tunnelRecord.empty()) {
    return {};
  }
  // Beside the record it guards: a second daemon of the same service must not take the first
  // one's tunnel for one left behind.
  const std::filesystem::path record(environment_.tunnelRecord);
  std::error_code error;
  if (std::filesystem::create_directories(record.parent_path(), error)) {
    std::filesystem::permissions(record.parent_path(), std::filesystem::perms(0755),
                                 std::filesystem::perm_options::replace, error);
  }
  auto lock = platform::posix::lockFile(environment_.tunnelRecord + ".instance", true);
  if (!lock) {
    if (lock.error().code == EWOULDBLOCK) {
      return tl::unexpected(std::string("another instance of the helper serves this service"));
    }
    return tl::unexpected(lock.error().description());
  }
  std::scoped_lock guard(lock_);
  instanceLock_ = std::move(*lock);
  return {};
}

std::string OpenConnectRunner::currentState() const {
  std::scoped_lock guard(lock_);
  // A start that waits (for its password among others) holds every other one off: the status
  // must not call that idle. It is the sign-in's beginning, so it keeps the four states.
  if (starting_ && !process_) {
    return std::string(kAuthenticating);
  }
  return std::string(state_);
}

std::optional<OpenConnectRunner::StartUnderWay> OpenConnectRunner::startUnderWay() const {
  std::scoped_lock guard(lock_);
  if (!starting_) {
    return std::nullopt;
  }
  return StartUnderWay{starting_->owner, starting_->since};
}

void OpenConnectRunner::noteReconnection(OpenConnectLine meaning, bool current) {
  // Only a connected tunnel reconnects; the state itself keeps its four values.
  const bool was = reconnecting_;
  reconnecting_ = current && state_ == kConnected &&
                  (meaning == OpenConnectLine::reconnecting ||
                   (reconnecting_ && meaning != OpenConnectLine::reconnected));
  if (reconnecting_ != was) {
    HelperLog::info(reconnecting_ ? "OpenConnect reconnecting" : "OpenConnect reconnected");
  }
}

bool OpenConnectRunner::isReconnecting() const {
  std::scoped_lock guard(lock_);
  return reconnecting_ && process_ && state_ == kConnected;
}

std::int64_t OpenConnectRunner::currentPid() const {
  std::scoped_lock guard(lock_);
  return process_ ? process_->processIdentifier() : 0;
}

void OpenConnectRunner::setLogHandler(LogHandler handler) {
  std::scoped_lock guard(lock_);
  std::swap(logHandler_, handler);
}

}  // namespace vantreel
