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
#include "platform/posix/check.hpp"
#include "platform/process/pipe.hpp"
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
// off at the deadline, since the runner's lock is held meanwhile; the pipe is read through a
// description of the daemon's own, so that what the client does with its own ends cannot
// make the read outlast the deadline.
tl::expected<std::string, RunnerError> readSecret(process::FileHandle& pipe,
                                                  std::chrono::milliseconds deadline,
                                                  bool (*isValidUtf8)(std::string_view)) {
  auto bytes = pipe.readPipeOfLength(kMaxSecretBytes, std::chrono::steady_clock::now() + deadline);
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

tl::expected<void, RunnerError> OpenConnectRunner::start(const HelperStartRequest& request,
                                                         process::FileHandle& passwordPipe,
                                                         const std::string& appBundle,
                                                         ExitCallback onExit, LogHandler logHandler,
                                                         std::weak_ptr<const void> owner) {
  std::shared_ptr<process::Task> failedTask;
  try {
    std::scoped_lock guard(lock_);
    return startLocked(request, passwordPipe, appBundle, onExit, logHandler, owner, failedTask);
  } catch (const std::exception& failure) {
    return tl::unexpected(RunnerError::spawnFailed(failure.what()));
  } catch (...) {
    return tl::unexpected(RunnerError::spawnFailed("start: unexpected failure"));
  }
}

tl::expected<void, RunnerError> OpenConnectRunner::startLocked(
    const HelperStartRequest& request, process::FileHandle& passwordPipe,
    const std::string& appBundle, ExitCallback& onExit, LogHandler& logHandler,
    std::weak_ptr<const void>& owner, std::shared_ptr<process::Task>& failedTask) {
  if (process_) {
    return tl::unexpected(RunnerError::alreadyRunning());
  }
  if (closed_) {
    return tl::unexpected(RunnerError::spawnFailed("the helper is shutting down"));
  }
  std::optional<std::string_view> servercert;
  if (request.servercert()) {
    servercert = *request.servercert();
  }
  const auto validated =
      ArgumentValidation::validate(request.server(), request.username(), servercert);
  if (!validated) {
    return tl::unexpected(RunnerError::invalidRequest(validated.error().message));
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
  NetworkUndo(environment_.keptDirectory).prepare((*copies)->directory());
  const auto cafile = exportSystemRoots(environment_);
  std::optional<std::string_view> cafileArgument;
  if (cafile) {
    cafileArgument = *cafile;
  }
  const auto arguments =
      ArgumentValidation::openConnectArgs(*validated, (*copies)->script(), cafileArgument);

  auto password = readSecret(passwordPipe, environment_.passwordDeadline, &isValidUtf8);
  if (!password) {
    return tl::unexpected(password.error());
  }
  std::string& secret = *password;
  const Wiped wipedSecret(secret);
  std::string secretLine;
  const Wiped wipedLine(secretLine);
  secretLine.reserve(secret.size() + 1);
  secretLine += secret;
  secretLine += '\n';

  removeStaleHostRoutes(validated->server, environment_);

  auto input = process::Pipe::make();
  auto output = process::Pipe::make();
  auto error = process::Pipe::make();
  if (!input || !output || !error) {
    const auto& failed = !input ? input.error() : !output ? output.error() : error.error();
    return tl::unexpected(RunnerError::spawnFailed(failed.description()));
  }
  // At most 8193 bytes: the pipe holds them before the child runs, so nothing after the launch
  // can fail and leave a child that is not recorded.
  if (auto written = input->fileHandleForWriting()->writeData(secretLine); !written) {
    return tl::unexpected(RunnerError::spawnFailed(written.error().description()));
  }
  [[maybe_unused]] const auto closed = input->fileHandleForWriting()->close();

  const std::string directory = (*copies)->directory();
  auto task = process::Task::create();
  task->setExecutable((*copies)->program());
  task->setArguments(arguments);
  task->setEnvironment(std::map<std::string, std::string>{
      {"LANG", "en_US.UTF-8"},
      {"PATH", directory + ":/usr/bin:/bin:/usr/sbin:/sbin"},
      {"DYLD_LIBRARY_PATH", directory + "/lib"},
  });
  task->setStandardInput(*input);
  task->setStandardOutput(*output);
  task->setStandardError(*error);
  // Should the daemon die, OpenConnect outlives its output's reader; it must still be able to
  // log off and run its script's disconnect when a later instance stops it.
  task->setKeepsBrokenPipeIgnored(true);

  const std::uint64_t generation = generation_ + 1;
  auto drain = std::make_shared<OutputDrain>(2);
  task->setTerminationHandler([weak = weak_from_this(), generation, onExit = std::move(onExit),
                               copies = std::move(*copies), drain](process::Task& child) mutable {
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

  if (auto launched = task->launch(); !launched) {
    output->fileHandleForReading()->clearReadabilityHandler();
    error->fileHandleForReading()->clearReadabilityHandler();
    // Released by the caller after the lock: the exit callback goes with it.
    failedTask = std::move(task);
    return tl::unexpected(RunnerError::spawnFailed(launched.error()));
  }
  writeTunnelRecord(task->processIdentifier(), directory);
  process_ = std::move(task);
  tunnelOwner_ = std::move(owner);
  generation_ = generation;
  state_ = kAuthenticating;
  // The replaced handler goes back to the caller, to be released after the lock.
  std::swap(logHandler_, logHandler);
  HelperLog::info("started bundled OpenConnect for " + validated->server);
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
  LogHandler handler;
  {
    std::scoped_lock guard(lock_);
    handler = logHandler_;
    // Lines still draining from a child whose exit was handled must not mark an idle runner
    // connected.
    if (namesInterface && process_ && generation == generation_) {
      state_ = kConnected;
    }
  }
  if (handler) {
    handler(line);
  }
}

void OpenConnectRunner::undoNetwork(const std::string& script) {
  const auto entry = NetworkUndo(environment_.keptDirectory)
                         .replay(
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
    const std::shared_ptr<const void>* owner) {
  std::scoped_lock guard(lock_);
  if (!process_) {
    return nullptr;
  }
  // Identity of the object, not of a pointer value a newer object may have taken over.
  if (owner && (tunnelOwner_.owner_before(*owner) || owner->owner_before(tunnelOwner_))) {
    return nullptr;
  }
  state_ = kStopping;
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
  const auto child = takeForStop(nullptr);
  if (!child) {
    return tl::unexpected(RunnerError::notRunning());
  }
  stopChild(*child);
  return child->processIdentifier();
}

bool OpenConnectRunner::stopOwnedBy(const std::shared_ptr<const void>& owner) {
  if (!owner) {
    return false;
  }
  const auto child = takeForStop(&owner);
  if (!child) {
    return false;
  }
  stopChild(*child);
  return true;
}

void OpenConnectRunner::shutDown() {
  std::shared_ptr<process::Task> child;
  std::uint64_t generation = 0;
  {
    // Waits for a start under way: its child, if it launches one, is stopped too.
    std::scoped_lock guard(lock_);
    closed_ = true;
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
  std::unique_lock guard(lock_);
  (void)exitHandled_.wait_for(
      guard, kOutputDrainLimit + environment_.disconnectBound + std::chrono::seconds(3),
      [&] { return handled_ >= generation; });
}

std::string OpenConnectRunner::currentState() const {
  std::scoped_lock guard(lock_);
  return std::string(state_);
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
