#include "helper/network_undo.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

#include "helper/line_splitter.hpp"
#include "helper/output_drain.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/sys_error.hpp"
#include "platform/process/pipe.hpp"
#include "platform/process/task.hpp"
#include "platform/service/host.hpp"

namespace vantreel {
namespace {

namespace fs = std::filesystem;
namespace process = platform::process;

constexpr std::string_view kEnviron = "environ";
constexpr std::string_view kBootId = "boot_id";
constexpr std::string_view kState = "state";
constexpr std::string_view kResolverWritten = "resolv.conf.written";
constexpr auto kKillGrace = std::chrono::seconds(1);
// The distribution's script removes the server's split routes one command each: a replay's
// bound grows with them, up to a cap, so that a server of many routes cannot leave a disconnect
// that is cut at every try (2000 routes took 43 s here, about 21 ms a route).
constexpr auto kBoundPerRoute = std::chrono::milliseconds(40);
constexpr auto kOutputGrace = std::chrono::milliseconds(500);

// Through the platform's close-on-exec open: a replay's script must not inherit what the
// daemon reads, and a read that finds no descriptor left is a plain failure.
std::optional<std::string> readWhole(const std::string& path) {
  auto file = platform::posix::openFile(path, O_RDONLY);
  if (!file) {
    return std::nullopt;
  }
  std::string whole;
  std::array<std::byte, 16384> buffer{};
  for (;;) {
    auto got = platform::posix::readSome(file->get(), buffer);
    if (!got) {
      return std::nullopt;
    }
    if (*got == 0) {
      return whole;
    }
    whole.append(reinterpret_cast<const char*>(buffer.data()), *got);
  }
}

// A variable name the shell and the routing scripts can mean: what else the kept environment
// holds is not handed on.
bool isVariableName(std::string_view name) {
  const auto letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return !name.empty() && letter(name.front()) &&
         std::all_of(name.begin(), name.end(), [&](char c) { return letter(c) || digit(c); });
}

// The NUL-separated entries of an environment, as they were.
std::vector<std::string> entries(const std::string& environ) {
  std::vector<std::string> result;
  std::size_t begin = 0;
  while (begin < environ.size()) {
    std::size_t end = environ.find('\0', begin);
    if (end == std::string::npos) {
      end = environ.size();
    }
    if (end > begin) {
      result.emplace_back(environ.substr(begin, end - begin));
    }
    begin = end + 1;
  }
  return result;
}

std::string valueOf(const std::vector<std::string>& environment, std::string_view name) {
  for (const auto& entry : environment) {
    if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
        entry[name.size()] == '=') {
      return entry.substr(name.size() + 1);
    }
  }
  return {};
}

// The saved state file of the distribution's script whose name begins with prefix.
std::optional<fs::path> savedState(const std::string& stateDirectory, std::string_view prefix) {
  std::error_code error;
  for (fs::directory_iterator it(stateDirectory, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().string().starts_with(prefix)) {
      return it->path();
    }
  }
  return std::nullopt;
}

// Server-supplied text that ends up in the log: printable ASCII only, and short.
std::string printable(std::string_view text) {
  std::string result;
  for (const char c : text.substr(0, 64)) {
    result += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return result;
}

}  // namespace

std::string NetworkUndo::path(std::string_view name) const {
  return directory_ + "/" + std::string(name);
}

tl::expected<void, std::string> NetworkUndo::prepare(const std::string& copyDirectory,
                                                     const LineSink& sink,
                                                     std::chrono::milliseconds bound) const {
  if (directory_.empty()) {
    return {};
  }
  std::error_code error;
  fs::create_directories(directory_, error);
  if (!error) {
    fs::permissions(directory_, fs::perms::owner_all, error);
  }
  if (!error) {
    const auto link = fs::path(copyDirectory) / linkName;
    fs::create_directory_symlink(directory_, link, error);
    std::error_code same;
    if (error && fs::equivalent(link, directory_, same)) {
      error.clear();  // already there
    }
  }
  if (error) {
    return tl::unexpected("cannot keep what undoing the tunnel needs in " + directory_ + ": " +
                          error.message());
  }
  if (pending()) {
    // Owed by a tunnel whose replay could not run: the script about to run is the same
    // verified one.
    const std::string script = (fs::path(copyDirectory) / "vpnc-script").string();
    const auto entry = replay(script, sink, bound);
    if (pending()) {
      return tl::unexpected("an earlier tunnel's network changes could not be undone: " +
                            entry.value_or(std::string("its disconnect did not run")));
    }
  }
  forget();
  return {};
}

bool NetworkUndo::pending() const {
  std::error_code error;
  return !directory_.empty() && fs::is_regular_file(path(kEnviron), error);
}

void NetworkUndo::forget() const {
  std::error_code error;
  // The mark first: an interrupted clean-up never leaves a disconnect owed without its state.
  fs::remove(path(kEnviron), error);
  fs::remove_all(path(kState), error);
  fs::remove(path(kBootId), error);
  fs::remove(path(kResolverWritten), error);
}

void NetworkUndo::release() const {
  if (directory_.empty()) {
    return;
  }
  std::error_code error;
  fs::remove(directory_, error);  // only an empty directory goes
}

std::string NetworkUndo::restoring() const {
  const auto environment = entries(readWhole(path(kEnviron)).value_or(""));
  const std::string state = path(kState);
  std::string what;
  if (savedState(state, "defaultroute.")) {
    what += "the default route, ";
  }
  const std::string gateway = valueOf(environment, "VPNGATEWAY");
  if (!gateway.empty()) {
    what += "no route to " + printable(gateway) + ", ";
  }
  if (savedState(state, "resolv.conf-backup.")) {
    what += "the resolver file, ";
  }
  return "restored the network after tunnel " + printable(valueOf(environment, "TUNDEV")) +
         " ended without its disconnect: " + what;
}

std::optional<std::string> NetworkUndo::replay(const std::string& script, const LineSink& sink,
                                               std::chrono::milliseconds bound) const {
  if (!pending()) {
    return std::nullopt;
  }
  const auto kept = readWhole(path(kEnviron)).value_or("");
  if (kept.size() > kMaxEnvironmentBytes) {
    // No script could be run with it: give back what can be given back without one.
    std::string entry = "the kept environment of the tunnel exceeds " +
                        std::to_string(kMaxEnvironmentBytes) + " bytes: " + restoreResolverOnly();
    forget();
    return entry;
  }
  auto environment = entries(kept);
  std::erase_if(environment, [](const std::string& entry) {
    const auto equals = entry.find('=');
    return equals == std::string::npos || !isVariableName(entry.substr(0, equals)) ||
           entry.starts_with("reason=");
  });
  environment.emplace_back("reason=disconnect");
  const auto routes = std::count_if(environment.begin(), environment.end(), [](const auto& entry) {
    return entry.find("SPLIT_") != std::string::npos && entry.find("_ADDR=") != std::string::npos;
  });
  bound = std::max(
      bound, std::min<std::chrono::milliseconds>(bound + kBoundPerRoute * routes, kMaxReplayBound));

  auto output = process::Pipe::make();
  if (!output) {
    return "cannot restore the network yet: " + output.error().description();
  }
  auto task = process::Task::create();
  task->setExecutable(script);
  // The distribution's script it runs, and what that starts, end with it at the bound.
  task->setOwnProcessGroup(true);
  task->setEnvironment(environment);
  auto null = platform::process::FileHandle::fileHandleWithNullDevice();
  if (null) {
    task->setStandardInput(*null);
  }
  task->setStandardOutput(*output);
  task->setStandardError(*output);
  auto drain = std::make_shared<OutputDrain>(1);
  const auto readEnd = output->fileHandleForReading();
  readEnd->setReadabilityHandler(
      [sink, drain, splitter = std::make_shared<LineSplitter>()](process::FileHandle& handle) {
        auto data = handle.availableData();
        const bool ended = !data || data->empty();
        const auto lines = ended ? splitter->finish() : splitter->feed(*data);
        if (sink) {
          for (const auto& line : lines) {
            sink(line);
          }
        }
        if (ended) {
          drain->streamEnded();
          handle.clearReadabilityHandler();
        }
      });
  // Read before the script runs: a disconnect that runs removes what was kept.
  std::string entry = restoring();
  if (auto launched = task->launch(); !launched) {
    readEnd->clearReadabilityHandler();
    return "cannot restore the network yet: " + launched.error();
  }
  const bool finished = task->waitUntilExit(bound);
  if (!finished) {
    task->kill();
    // The group is gone, or a member of it cannot die (uninterruptible sleep): then it is
    // left to the waiter, the state kept.
    (void)task->waitUntilExit(kKillGrace);
  }
  (void)drain->waitUntilDrained(kOutputGrace);
  readEnd->clearReadabilityHandler();
  if (!finished) {
    return entry + "script killed after it ran out of time; to be replayed again";
  }
  forget();
  return entry + "script status " + std::to_string(task->terminationStatus());
}

std::string NetworkUndo::restoreResolverOnly() const {
  const auto written = readWhole(path(kResolverWritten));
  const auto backup = savedState(path(kState), "resolv.conf-backup.");
  if (!written || !backup) {
    return "the tunnel had not changed the resolver file";
  }
  const auto current = readWhole(resolverFile_);
  if (!current || *current != *written) {
    return "left " + resolverFile_ + " alone: it changed since the tunnel wrote it";
  }
  // The script writes through the name; a link into /usr names a file of the distribution's.
  const std::string target = platform::service::resolvingSymlinks(resolverFile_);
  if (target.starts_with("/usr/")) {
    return "left " + resolverFile_ + " alone: it names " + target;
  }
  const auto original = readWhole(backup->string());
  auto file = platform::posix::openFile(target, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (!original || !file) {
    return "cannot restore " + resolverFile_ +
           (file ? std::string() : ": " + file.error().description());
  }
  // Written over first and cut to length after: a write that fails leaves a whole file, the
  // tunnel's or a mix, never an empty one.
  if (auto done = platform::posix::writeAll(file->get(), std::as_bytes(std::span(*original)));
      !done) {
    return "cannot restore " + resolverFile_ + ": " + done.error().description();
  }
  if (::ftruncate(file->get(), static_cast<off_t>(original->size())) != 0) {
    return "cannot restore " + resolverFile_ + ": " +
           platform::posix::lastError("ftruncate").description();
  }
  return "restored " + resolverFile_;
}

std::optional<std::string> NetworkUndo::recover(const std::optional<std::string>& script,
                                                const std::string& bootId, const LineSink& sink,
                                                std::chrono::milliseconds bound) const {
  if (!pending()) {
    return std::nullopt;
  }
  std::string keptBoot = readWhole(path(kBootId)).value_or("");
  while (!keptBoot.empty() && (keptBoot.back() == '\n' || keptBoot.back() == '\r')) {
    keptBoot.pop_back();
  }
  const bool sameBoot = keptBoot.empty() || bootId.empty() || keptBoot == bootId;
  std::error_code error;
  if (sameBoot && script && fs::is_regular_file(*script, error)) {
    return replay(*script, sink, bound);
  }
  std::string entry = (sameBoot ? "a tunnel ended without its disconnect and its script is gone: "
                                : "a tunnel was up when the machine went down: ") +
                      restoreResolverOnly() + "; no route touched";
  forget();
  return entry;
}

}  // namespace vantreel
