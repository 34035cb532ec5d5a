#include "helper/child_task.hpp"

#include <chrono>

#include "helper/line_splitter.hpp"
#include "helper/output_drain.hpp"
#include "helper/secret_input.hpp"
#include "platform/process/pipe.hpp"

namespace vantreel {
namespace {

namespace process = platform::process;

constexpr auto kInterruptGrace = std::chrono::seconds(5);
constexpr auto kTerminateGrace = std::chrono::seconds(3);
// How long the end of a child waits for its output streams to reach end of file.
constexpr auto kOutputDrainLimit = std::chrono::milliseconds(2000);

void forward(const std::shared_ptr<process::FileHandle>& readEnd, const ChildTask::LineSink& onLine,
             std::shared_ptr<OutputDrain> drain) {
  // The handler keeps its own read end alive until end of file and then lets go of it.
  readEnd->setReadabilityHandler(
      [onLine, readEnd, drain = std::move(drain),
       splitter = std::make_shared<LineSplitter>()](process::FileHandle& handle) {
        auto data = handle.availableData();
        const bool ended = !data || data->empty();
        for (const auto& line : ended ? splitter->finish() : splitter->feed(*data)) {
          onLine(line);
        }
        if (ended) {
          drain->streamEnded();
          handle.clearReadabilityHandler();
        }
      });
}

}  // namespace

tl::expected<ChildTask, RunnerError> ChildTask::make(const OpenConnectInvocation& invocation,
                                                     const std::string& secret) {
  auto input = SecretInput::childInputCarrying(secret);
  if (!input) {
    return tl::unexpected(input.error());
  }
  auto output = process::Pipe::make();
  auto error = process::Pipe::make();
  if (!output || !error) {
    const auto& failed = !output ? output.error() : error.error();
    return tl::unexpected(RunnerError::spawnFailed(failed.description()));
  }
  ChildTask child;
  child.task_ = process::Task::create();
  auto& task = *child.task_;
  task.setExecutable(invocation.program);
  task.setArguments(invocation.arguments);
  task.setEnvironment(invocation.environment);
  task.setStandardInput(*input);
  task.setStandardOutput(*output);
  task.setStandardError(*error);
  // Should the daemon die, OpenConnect outlives its output's reader; it must still be able to
  // log off and run its script's disconnect when a later instance stops it.
  task.setKeepsBrokenPipeIgnored(true);
  // Its scripts, and what they start, end with it: a disconnect script cut short by the stop
  // must not run on beside the replay, nor reach the next tunnel's interface.
  task.setOwnProcessGroup(true);
  child.output_ = output->fileHandleForReading();
  child.error_ = error->fileHandleForReading();
  return child;
}

void ChildTask::watch(const LineSink& onLine, EndHandler onEnd) {
  auto drain = std::make_shared<OutputDrain>(2);
  task_->setTerminationHandler([drain, onEnd = std::move(onEnd)](process::Task& child) {
    [[maybe_unused]] const bool drained = drain->waitUntilDrained(kOutputDrainLimit);
    onEnd(child);
  });
  forward(output_, onLine, drain);
  forward(error_, onLine, drain);
}

void ChildTask::unwatch() {
  output_->clearReadabilityHandler();
  error_->clearReadabilityHandler();
}

void ChildTask::stop(process::Task& child) {
  // The waits are on the child's pidfd (through its waiter), never on a timer loop.
  child.interrupt();
  if (!child.waitUntilExit(kInterruptGrace)) {
    child.terminate();
    if (!child.waitUntilExit(kTerminateGrace)) {
      child.kill();
    }
  }
}

}  // namespace vantreel
