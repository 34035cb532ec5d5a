#pragma once

// Runs the real daemon binary and test clients as child processes, and watches what they
// print: the daemon's log entries on its standard error, the clients' JSON events on their
// standard output.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/process/pipe.hpp"
#include "platform/process/task.hpp"

namespace vantreel::testing {

namespace fs = std::filesystem;
using nlohmann::json;

// Generous, for a loaded or sanitized machine; only failing runs wait this long.
inline constexpr auto kBound = std::chrono::seconds(60);

// Polls until `condition` holds, or the bound has passed; whether it held.
inline bool waitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Whether process `pid` sits in system call `number` (root may read any process's).
inline bool blockedIn(pid_t pid, long number) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long current = -1;
  return static_cast<bool>(in >> current) && current == number;
}

// Bytes written into the pipe behind descriptor `fd` of process `pid` that its reader has not
// taken yet; nullopt when that is no pipe of a live process.
inline std::optional<int> unreadBytes(pid_t pid, int fd) {
  const auto path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  // A second reading end of the same pipe, which only looks.
  auto reader = platform::posix::openFile(path, O_RDONLY | O_NONBLOCK);
  int unread = 0;
  if (!reader || ::ioctl(reader->get(), FIONREAD, &unread) != 0) {
    return std::nullopt;
  }
  return unread;
}

// A child whose standard output (or error) is collected line by line.
class WatchedProcess {
 public:
  WatchedProcess(const std::string& executable, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment, bool watchError) {
    auto input = platform::process::Pipe::make();
    auto output = platform::process::Pipe::make();
    if (!input || !output) {
      ADD_FAILURE() << "pipes for " << executable;
      return;
    }
    task_ = platform::process::Task::create();
    task_->setExecutable(executable);
    task_->setArguments(arguments);
    task_->setEnvironment(environment);
    task_->setStandardInput(*input);
    if (watchError) {
      task_->setStandardError(*output);
    } else {
      task_->setStandardOutput(*output);
    }
    input_ = input->fileHandleForWriting();
    output_ = output->fileHandleForReading();
    auto state = state_;
    output_->setReadabilityHandler([state](platform::process::FileHandle& handle) {
      auto chunk = handle.availableData();
      std::scoped_lock lock(state->mutex);
      if (!chunk || chunk->empty()) {
        state->ended = true;
      } else {
        state->partial += *chunk;
        for (auto newline = state->partial.find('\n'); newline != std::string::npos;
             newline = state->partial.find('\n')) {
          state->lines.push_back(state->partial.substr(0, newline));
          state->partial.erase(0, newline + 1);
        }
      }
      state->changed.notify_all();
    });
    if (auto launched = task_->launch(); !launched) {
      ADD_FAILURE() << launched.error();
      task_.reset();
    }
  }
  virtual ~WatchedProcess() {
    if (!task_) {
      return;
    }
    (void)input_->close();
    if (!task_->waitUntilExit(std::chrono::seconds(10))) {
      task_->kill();
      task_->waitUntilExit();
    }
    output_->clearReadabilityHandler();
  }
  WatchedProcess(const WatchedProcess&) = delete;
  WatchedProcess& operator=(const WatchedProcess&) = delete;

  [[nodiscard]] bool launched() const { return task_ != nullptr; }
  [[nodiscard]] int pid() const { return task_ ? task_->processIdentifier() : 0; }
  [[nodiscard]] std::vector<std::string> lines() const {
    std::scoped_lock lock(state_->mutex);
    return state_->lines;
  }
  void send(const std::string& line) { (void)input_->writeData(line + "\n"); }
  void kill() {
    task_->kill();
    task_->waitUntilExit();
  }
  // The exit status, once it has ended within the bound.
  std::optional<int> waitForExit() {
    if (!task_ || !task_->waitUntilExit(kBound)) {
      return std::nullopt;
    }
    return task_->terminationStatus();
  }

  // Waits for the first line from index `from` on that matches; its index, or nullopt.
  std::optional<std::size_t> waitForLine(const std::function<bool(const std::string&)>& matches,
                                         std::size_t from = 0) {
    std::unique_lock lock(state_->mutex);
    std::optional<std::size_t> found;
    state_->changed.wait_for(lock, kBound, [&] {
      for (std::size_t i = from; i < state_->lines.size(); ++i) {
        if (matches(state_->lines[i])) {
          found = i;
          return true;
        }
      }
      return state_->ended;
    });
    if (!found) {
      for (std::size_t i = from; i < state_->lines.size(); ++i) {
        if (matches(state_->lines[i])) {
          found = i;
        }
      }
    }
    return found;
  }

 private:
  struct State {
    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    std::vector<std::string> lines;
    std::string partial;
    bool ended = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::shared_ptr<platform::process::Task> task_;
  std::shared_ptr<platform::process::FileHandle> input_;
  std::shared_ptr<platform::process::FileHandle> output_;
};

// The daemon; its entries read "<level> org.vantreel.desktop.helper[helper]: <message>".
class Daemon final : public WatchedProcess {
 public:
  Daemon(const std::string& executable, const std::map<std::string, std::string>& environment)
      : WatchedProcess(executable, {}, environment, true) {}
  ~Daemon() override {
    if (launched()) {
      kill();
    }
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  static std::string entry(const std::string& level, const std::string& message) {
    return level + " org.vantreel.desktop.helper[helper]: " + message;
  }
  bool waitForEntry(const std::string& level, const std::string& message) {
    const auto wanted = entry(level, message);
    return waitForLine([&](const std::string& line) { return line == wanted; }).has_value();
  }
  // The daemon's standard error is read on another thread than the replies: an entry written
  // before a reply may still be on its way. Waits (boundedly) for at least `least` of them.
  [[nodiscard]] std::size_t countEntries(const std::string& level, const std::string& message,
                                         std::size_t least = 0) const {
    const auto wanted = entry(level, message);
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    for (;;) {
      std::size_t count = 0;
      for (const auto& line : lines()) {
        count += line == wanted ? 1 : 0;
      }
      if (count >= least || std::chrono::steady_clock::now() > deadline) {
        return count;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
};

// A test client; every line it prints is one JSON event.
class Client final : public WatchedProcess {
 public:
  Client(const std::string& executable, const std::map<std::string, std::string>& environment,
         const std::vector<std::string>& arguments = {})
      : WatchedProcess(executable, arguments, environment, false) {
    if (auto ready = waitFor("ready")) {
      clientPid_ = (*ready)["pid"].get<int>();
    }
  }
  ~Client() override = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The next event of op after those already taken by earlier waits.
  std::optional<json> waitFor(const std::string& op) {
    auto index = waitForLine(
        [&](const std::string& line) {
          const auto event = json::parse(line, nullptr, false);
          return event.is_object() && event.value("op", "") == op;
        },
        taken_[op]);
    if (!index) {
      return std::nullopt;
    }
    taken_[op] = *index + 1;
    return json::parse(lines()[*index]);
  }
  // Sends a command and waits for its event.
  std::optional<json> call(const std::string& command) {
    send(command);
    return waitFor(command.substr(0, command.find(' ')));
  }
  [[nodiscard]] std::vector<std::string> logLines() const {
    std::vector<std::string> result;
    for (const auto& line : lines()) {
      const auto event = json::parse(line, nullptr, false);
      if (event.is_object() && event.value("op", "") == "log") {
        result.push_back(event.value("line", ""));
      }
    }
    return result;
  }
  [[nodiscard]] int clientPid() const { return clientPid_; }

 private:
  std::map<std::string, std::size_t> taken_;
  int clientPid_ = 0;
};

// "ok code message state pid" of a result event, or its error.
inline std::string summary(const std::optional<json>& event) {
  if (!event) {
    return "no event";
  }
  if (event->contains("error")) {
    return "error: " + (*event)["error"].get<std::string>();
  }
  return std::string((*event)["ok"].get<bool>() ? "true" : "false") + " " +
         std::to_string((*event)["code"].get<std::int64_t>()) + " " +
         (*event)["message"].get<std::string>() + " " + (*event)["state"].get<std::string>() + " " +
         std::to_string((*event)["pid"].get<std::int64_t>());
}

}  // namespace vantreel::testing
