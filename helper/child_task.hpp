#pragma once

#include <functional>
#include <memory>
#include <string>
#include <tl/expected.hpp>

#include "helper/runner_error.hpp"
#include "helper/validated_start.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/process/task.hpp"

namespace vantreel {

// One OpenConnect child, not yet launched: its secret already waiting on its standard input,
// its output and error read line by line, its whole process group ending with it.
class ChildTask {
 public:
  using LineSink = std::function<void(const std::string& line)>;
  // Called once the child has exited and both its output streams have ended (or a bound
  // passed: a descendant may keep one open).
  using EndHandler = std::function<void(platform::process::Task& child)>;

  [[nodiscard]] static tl::expected<ChildTask, RunnerError> make(
      const OpenConnectInvocation& invocation, const std::string& secret);

  // Before the launch: where the lines and the end go.
  void watch(const LineSink& onLine, EndHandler onEnd);
  // After a launch that failed: the readers let go of the output.
  void unwatch();
  [[nodiscard]] const std::shared_ptr<platform::process::Task>& task() const { return task_; }

  // SIGINT, then SIGTERM after 5 s, then SIGKILL to its whole group after 3 s more.
  static void stop(platform::process::Task& child);

 private:
  std::shared_ptr<platform::process::Task> task_;
  std::shared_ptr<platform::process::FileHandle> output_;
  std::shared_ptr<platform::process::FileHandle> error_;
};

}  // namespace vantreel
