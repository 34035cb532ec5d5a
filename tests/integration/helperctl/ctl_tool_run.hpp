#pragma once

// Test support: runs a control tool program as a user would, with a pipe on each standard
// stream, so a test can feed standard input line by line and watch what comes out.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process/pipe.hpp"
#include "platform/process/task.hpp"

namespace vantreel::testing {

class CtlToolRun {
 public:
  struct Outcome {
    bool exited = false;  // false when it was still running at the bound
    int status = -1;
    std::string output;
    std::string error;
  };

  // Launches program with arguments; the environment is inherited.
  CtlToolRun(const std::string& program, std::vector<std::string> arguments)
      : task_(platform::process::Task::create()) {
    auto input = platform::process::Pipe::make();
    auto output = platform::process::Pipe::make();
    auto error = platform::process::Pipe::make();
    if (!input || !output || !error) {
      launchError_ = "pipe failed";
      return;
    }
    input_ = input->fileHandleForWriting();
    task_->setExecutable(program);
    task_->setArguments(std::move(arguments));
    task_->setStandardInput(*input);
    task_->setStandardOutput(*output);
    task_->setStandardError(*error);
    collect(output->fileHandleForReading(), output_);
    collect(error->fileHandleForReading(), error_);
    outputHandle_ = output->fileHandleForReading();
    errorHandle_ = error->fileHandleForReading();
    if (auto launched = task_->launch(); !launched) {
      launchError_ = launched.error();
    }
  }
  CtlToolRun(const CtlToolRun&) = delete;
  CtlToolRun& operator=(const CtlToolRun&) = delete;
  ~CtlToolRun() {
    if (task_->isRunning()) {
      task_->kill();
      task_->waitUntilExit();
    }
    outputHandle_.reset();
    errorHandle_.reset();
  }

  [[nodiscard]] const std::string& launchError() const { return launchError_; }
  [[nodiscard]] int pid() const { return task_->processIdentifier(); }
  platform::process::Task& task() { return *task_; }

  void write(const std::string& bytes) {
    if (input_) {
      (void)input_->writeData(bytes);
    }
  }
  void closeInput() {
    if (input_) {
      (void)input_->close();
      input_.reset();
    }
  }

  // Waits until standard output holds text; false at the bound.
  bool waitForOutput(const std::string& text,
                     std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    std::unique_lock lock(streams_->mutex);
    return streams_->changed.wait_for(lock, bound,
                                      [&] { return output_->find(text) != std::string::npos; });
  }

  [[nodiscard]] std::string output() const {
    std::scoped_lock lock(streams_->mutex);
    return *output_;
  }

  // Waits for the program to end and for both output streams to reach end of file.
  Outcome finish(std::chrono::milliseconds bound = std::chrono::seconds(120)) {
    Outcome outcome;
    outcome.exited = task_->waitUntilExit(bound);
    if (outcome.exited) {
      outcome.status = task_->terminationStatus();
      std::unique_lock lock(streams_->mutex);
      streams_->changed.wait_for(lock, bound, [&] { return streams_->ended == 2; });
    }
    std::scoped_lock lock(streams_->mutex);
    outcome.output = *output_;
    outcome.error = *error_;
    return outcome;
  }

 private:
  struct Streams {
    mutable std::mutex mutex;  // guards both texts and ended
    std::condition_variable changed;
    int ended = 0;
  };

  void collect(const std::shared_ptr<platform::process::FileHandle>& handle,
               const std::shared_ptr<std::string>& into) {
    handle->setReadabilityHandler(
        [streams = streams_, into](platform::process::FileHandle& readable) {
          auto data = readable.availableData();
          {
            std::scoped_lock lock(streams->mutex);
            if (data && !data->empty()) {
              into->append(*data);
            } else {
              ++streams->ended;
            }
          }
          streams->changed.notify_all();
        });
  }

  std::shared_ptr<platform::process::Task> task_;
  std::shared_ptr<Streams> streams_ = std::make_shared<Streams>();
  std::shared_ptr<std::string> output_ = std::make_shared<std::string>();
  std::shared_ptr<std::string> error_ = std::make_shared<std::string>();
  std::shared_ptr<platform::process::FileHandle> input_;
  std::shared_ptr<platform::process::FileHandle> outputHandle_;
  std::shared_ptr<platform::process::FileHandle> errorHandle_;
  std::string launchError_;
};

// The lines of a text, without their line feeds.
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto newline = text.find('\n', at);
    const auto end = newline == std::string::npos ? text.size() : newline;
    result.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return result;
}

}  // namespace vantreel::testing
