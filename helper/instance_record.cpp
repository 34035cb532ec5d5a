#include "helper/instance_record.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "helper/helper_log.hpp"
#include "helper/network_undo.hpp"
#include "helper/verified_copies.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/process_identity.hpp"
#include "platform/service/host.hpp"

namespace vantreel {
namespace {

namespace fs = std::filesystem;
namespace posix = platform::posix;

constexpr auto kInterruptGrace = std::chrono::seconds(5);
constexpr auto kTerminateGrace = std::chrono::seconds(3);
constexpr auto kKillGrace = std::chrono::seconds(2);
constexpr std::string_view kCopyPrefix = "openconnect.";

struct RecordedChild {
  int pid = 0;
  std::uint64_t startTime = 0;
  std::string directory;
};

std::optional<RecordedChild> readRecord(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    return std::nullopt;
  }
  RecordedChild record;
  std::string key;
  while (in >> key) {
    if (key == "pid") {
      in >> record.pid;
    } else if (key == "start") {
      in >> record.startTime;
    } else if (key == "directory") {
      in >> std::ws;
      std::getline(in, record.directory);
    } else {
      std::string ignored;
      std::getline(in, ignored);
    }
  }
  if (record.pid <= 0 || record.startTime == 0 || record.directory.empty()) {
    return std::nullopt;
  }
  return record;
}

// The kernel names a running program by its real path (/var/run is a link to /run here).
fs::path realPath(const fs::path& path) {
  std::error_code error;
  auto real = fs::weakly_canonical(path, error);
  return error ? path : real;
}

bool isCopyDirectoryIn(const fs::path& directory, const std::string& copiesDirectory) {
  return realPath(directory.parent_path()) == realPath(copiesDirectory) &&
         directory.filename().string().starts_with(kCopyPrefix);
}

// Whether the process behind pidfd runs program (the file itself, not a path that names another
// one in its mount namespace); read from /proc, then confirmed through the pidfd, so that a pid
// taken over meanwhile does not pass.
bool runs(int pid, int pidfd, const std::string& program) {
  const auto executable = posix::processExecutableIdentity(pid);
  const auto wanted = posix::fileIdentity(program);
  return executable && wanted && *executable == *wanted &&
         posix::pidfdSendSignal(pidfd, 0).has_value();
}

bool ended(int pidfd, std::chrono::milliseconds within) {
  // A pidfd reads as readable once its process has ended, whoever its parent is.
  const auto readable = posix::waitReadable(pidfd, within);
  return !readable || *readable;
}

// What the orphan started (its scripts, cut short by its end) lives on in the group it led:
// it is killed, so that it cannot change the network beside the replay. The group's members
// keep its number taken, so -pid names no other group while one of them is left.
void endOrphansGroup(int pid) {
  const auto giveUp = std::chrono::steady_clock::now() + kKillGrace;
  while (posix::processGroupHasLiveMember(pid) && std::chrono::steady_clock::now() < giveUp) {
    ::kill(-pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The runner's own stop sequence, for a process that is not our child.
std::string stopOrphan(int pidfd) {
  (void)posix::pidfdSendSignal(pidfd, SIGINT);
  if (ended(pidfd, kInterruptGrace)) {
    return "SIGINT";
  }
  (void)posix::pidfdSendSignal(pidfd, SIGTERM);
  if (ended(pidfd, kTerminateGrace)) {
    return "SIGTERM";
  }
  (void)posix::pidfdSendSignal(pidfd, SIGKILL);
  (void)ended(pidfd, kKillGrace);
  return "SIGKILL";
}

// The programs some process runs now, by device and inode: the path a process in another mount
// namespace shows may name a different file here, or ours under another name.
std::vector<posix::FileIdentity> programsRunning() {
  std::vector<posix::FileIdentity> running;
  for (const int pid : posix::runningProcesses()) {
    if (const auto executable = posix::processExecutableIdentity(pid)) {
      running.push_back(*executable);
    }
  }
  return running;
}

bool runsFrom(const fs::path& directory, const std::vector<posix::FileIdentity>& running) {
  const auto program = posix::fileIdentity((directory / "openconnect").string());
  return program && std::find(running.begin(), running.end(), *program) != running.end();
}

// Removes the copy directories that no live daemon holds and nothing runs from; how many.
// kept: a copy whose script a disconnect is still owed by, left alone.
int removeStaleCopies(const std::string& copiesDirectory, const fs::path& kept) {
  const auto running = programsRunning();
  std::error_code error;
  std::vector<fs::path> candidates;
  for (fs::directory_iterator it(copiesDirectory, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code typeError;
    if (it->symlink_status(typeError).type() == fs::file_type::directory &&
        isCopyDirectoryIn(it->path(), copiesDirectory) && !runsFrom(it->path(), running) &&
        (kept.empty() || realPath(it->path()) != realPath(kept))) {
      candidates.push_back(it->path());
    }
  }
  int removed = 0;
  for (const auto& directory : candidates) {
    const auto lockPath = directory / VerifiedCopies::lockName;
    std::error_code statusError;
    bool stale = false;
    std::optional<posix::UniqueFd> held;
    // The daemon that made it holds the lock for the directory's whole life. One without a
    // lock file, made by a daemon that did not lock its copies, cannot be told from one in use
    // and is left alone.
    if (fs::exists(fs::symlink_status(lockPath, statusError))) {
      if (auto lock = posix::lockFile(lockPath.string(), false)) {
        held = std::move(*lock);
        stale = true;
      }
    }
    if (stale) {
      std::error_code removeError;
      if (fs::remove_all(directory, removeError) > 0 && !removeError) {
        ++removed;
      }
    }
  }
  return removed;
}

}  // namespace

tl::expected<void, std::string> InstanceRecord::lock() {
  if (settings_.tunnelRecord.empty()) {
    return {};
  }
  // Beside the record it guards: a second daemon of the same service must not take the first
  // one's tunnel for one left behind.
  const fs::path record(settings_.tunnelRecord);
  std::error_code error;
  if (fs::create_directories(record.parent_path(), error)) {
    fs::permissions(record.parent_path(), fs::perms(0755), fs::perm_options::replace, error);
  }
  auto lock = posix::lockFile(settings_.tunnelRecord + ".instance", true);
  if (!lock) {
    if (lock.error().code == EWOULDBLOCK) {
      return tl::unexpected(std::string("another instance of the helper serves this service"));
    }
    return tl::unexpected(lock.error().description());
  }
  instanceLock_ = std::move(*lock);
  return {};
}

void InstanceRecord::erase() const {
  if (!settings_.tunnelRecord.empty()) {
    std::error_code ignored;
    fs::remove(settings_.tunnelRecord, ignored);
  }
}

void InstanceRecord::write(int pid, const std::string& directory) const {
  if (settings_.tunnelRecord.empty()) {
    return;
  }
  const auto startTime = posix::processStartTime(pid);
  if (!startTime) {
    return;
  }
  std::ostringstream text;
  text << "pid " << pid << "\nstart " << *startTime << "\ndirectory " << directory << "\n";
  if (auto written =
          platform::service::writeFileAtomically(settings_.tunnelRecord, text.str(), 0600);
      !written) {
    HelperLog::error("cannot record the tunnel: " + written.error().description());
  }
}

void InstanceRecord::recoverEarlier() const {
  std::vector<std::string> found;
  std::optional<std::string> earlierScript;  // the copy the earlier tunnel's script ran from
  if (!settings_.tunnelRecord.empty()) {
    if (const auto record = readRecord(settings_.tunnelRecord)) {
      if (isCopyDirectoryIn(record->directory, settings_.copiesDirectory)) {
        earlierScript = record->directory + "/vpnc-script";
      }
      const std::string program = (realPath(record->directory) / "openconnect").string();
      const std::string pid = std::to_string(record->pid);
      auto pidfd = posix::openPidfd(record->pid, record->startTime);
      if (pidfd && isCopyDirectoryIn(record->directory, settings_.copiesDirectory) &&
          runs(record->pid, pidfd->get(), program)) {
        found.push_back("stopped OpenConnect pid " + pid + " left running by an earlier instance" +
                        " (ended after " + stopOrphan(pidfd->get()) + ")");
        endOrphansGroup(record->pid);
      } else {
        found.push_back("OpenConnect pid " + pid + " of an earlier instance had ended");
      }
    }
  }
  // After the orphan is gone, before its copy is: a disconnect it did not run is replayed.
  const std::string bootId =
      settings_.bootId ? settings_.bootId() : platform::service::currentBootId();
  const NetworkUndo undo(settings_.keptDirectory);
  if (auto undone = undo.recover(
          earlierScript, bootId,
          [](const std::string& line) { HelperLog::info("vpnc-script: " + line); },
          settings_.disconnectBound)) {
    found.push_back(*undone);
  }
  // The record names the copy that the owed disconnect runs from: both stay until it has run,
  // so that the next start of a daemon tries again.
  const bool stillOwed = undo.pending() && earlierScript.has_value();
  if (!stillOwed && !settings_.tunnelRecord.empty()) {
    std::error_code ignored;
    fs::remove(settings_.tunnelRecord, ignored);
  }
  undo.release();
  if (const int removed =
          removeStaleCopies(settings_.copiesDirectory,
                            stillOwed ? fs::path(*earlierScript).parent_path() : fs::path());
      removed > 0) {
    found.push_back("removed " + std::to_string(removed) + " stale copy " +
                    (removed == 1 ? "directory" : "directories"));
  }
  if (found.empty()) {
    return;
  }
  std::string entry = "recovery: ";
  for (std::size_t i = 0; i < found.size(); ++i) {
    entry += (i == 0 ? "" : "; ") + found[i];
  }
  HelperLog::info(entry);
}

}  // namespace vantreel
