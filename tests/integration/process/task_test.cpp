#include "platform/process/task.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process/pipe.hpp"

namespace vantreel::platform::process {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::UnorderedElementsAre;

// Generous: these only bound a hang, they never measure speed.
constexpr auto kBound = 60s;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Runs program with arguments, returns its standard output once it has ended.
std::string outputOf(const std::shared_ptr<Task>& task) {
  auto pipe = Pipe::make();
  EXPECT_TRUE(pipe);
  task->setStandardOutput(*pipe);
  auto launched = task->launch();
  EXPECT_TRUE(launched) << launched.error();
  auto output = pipe->fileHandleForReading()->readDataToEndOfFile();
  EXPECT_TRUE(output);
  task->waitUntilExit();
  return output.value_or("");
}

struct Ended {
  int status = -1;
  TerminationReason reason = TerminationReason::exit;
  bool onOtherThread = false;
};

// Installs a handler that counts its calls and reports the status seen from inside it.
std::future<Ended> watchEnd(const std::shared_ptr<Task>& task, std::atomic<int>& calls) {
  auto promise = std::make_shared<std::promise<Ended>>();
  const auto launcher = std::this_thread::get_id();
  task->setTerminationHandler([promise, &calls, launcher](Task& ended) {
    if (calls.fetch_add(1) == 0) {
      promise->set_value({ended.terminationStatus(), ended.terminationReason(),
                          std::this_thread::get_id() != launcher});
    }
  });
  return promise->get_future();
}

TEST(Task, TerminationHandlerRunsOnceWithExitCode) {
  auto task = Task::create();
  task->setExecutable("/bin/sh");
  task->setArguments({"-c", "exit 7"});
  std::atomic<int> calls{0};
  auto ended = watchEnd(task, calls);
  ASSERT_TRUE(task->launch());
  EXPECT_GT(task->processIdentifier(), 0);
  ASSERT_EQ(ended.wait_for(kBound), std::future_status::ready);
  const Ended result = ended.get();
  EXPECT_EQ(result.status, 7);
  EXPECT_EQ(result.reason, TerminationReason::exit);
  EXPECT_TRUE(result.onOtherThread);
  task->waitUntilExit();
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(task->terminationStatus(), 7);
  EXPECT_FALSE(task->launch()) << "a task launches once";
  task.reset();
  EXPECT_EQ(calls.load(), 1);
}

class TaskSignal : public ::testing::TestWithParam<int> {};

TEST_P(TaskSignal, StatusIsTheSignalNumber) {
  const int signal = GetParam();
  auto task = Task::create();
  task->setExecutable("/usr/bin/sleep");
  task->setArguments({"60"});
  std::atomic<int> calls{0};
  auto ended = watchEnd(task, calls);
  ASSERT_TRUE(task->launch());
  EXPECT_TRUE(task->isRunning());
  EXPECT_FALSE(task->waitUntilExit(50ms));
  if (signal == SIGINT) {
    task->interrupt();
  } else if (signal == SIGTERM) {
    task->terminate();
  } else {
    task->kill();
  }
  EXPECT_TRUE(task->waitUntilExit(kBound));
  ASSERT_EQ(ended.wait_for(kBound), std::future_status::ready);
  const Ended result = ended.get();
  EXPECT_EQ(result.status, signal);
  EXPECT_EQ(result.reason, TerminationReason::uncaughtSignal);
  // The child is reaped: signals now find no process, rather than whoever got its pid.
  EXPECT_FALSE(task->sendSignal(SIGKILL));
  task.reset();
  EXPECT_EQ(calls.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Signals, TaskSignal, ::testing::Values(SIGINT, SIGTERM, SIGKILL));

TEST(Task, ChildOfParentIgnoringSigintStillDiesOfIt) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGINT, &ignore, &previous), 0);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigset_t previousMask;
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);

  auto task = Task::create();
  task->setExecutable("/usr/bin/sleep");
  task->setArguments({"60"});
  const auto launched = task->launch();

  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ::sigaction(SIGINT, &previous, nullptr);
  ASSERT_TRUE(launched);
  task->interrupt();
  ASSERT_TRUE(task->waitUntilExit(kBound));
  EXPECT_EQ(task->terminationReason(), TerminationReason::uncaughtSignal);
  EXPECT_EQ(task->terminationStatus(), SIGINT);
}

TEST(Task, EnvironmentIsExactlyWhatWasSet) {
  auto task = Task::create();
  task->setExecutable("/usr/bin/env");
  task->setEnvironment(std::map<std::string, std::string>{
      {"LANG", "en_US.UTF-8"}, {"PATH", "/opt/x:/usr/bin"}, {"ODD", "a b=c\td"}});
  EXPECT_THAT(linesOf(outputOf(task)),
              UnorderedElementsAre("LANG=en_US.UTF-8", "PATH=/opt/x:/usr/bin", "ODD=a b=c\td"));

  auto empty = Task::create();
  empty->setExecutable("/usr/bin/env");
  empty->setEnvironment(std::vector<std::string>{});
  EXPECT_EQ(outputOf(empty), "");

  std::vector<std::string> ours;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string(*entry).find('\n') == std::string::npos) {
      ours.emplace_back(*entry);
    }
  }
  ASSERT_FALSE(ours.empty());
  auto inherited = Task::create();
  inherited->setExecutable("/usr/bin/env");
  EXPECT_THAT(linesOf(outputOf(inherited)), IsSupersetOf(ours));
}

TEST(Task, ChildGetsOnlyTheThreeStandardStreams) {
  // Deliberately inheritable, as a descriptor from whoever started the daemon would be.
  const int leaky = ::open("/dev/null", O_RDONLY);  // NOLINT(android-cloexec-open)
  ASSERT_GE(leaky, 0);
  auto task = Task::create();
  task->setExecutable("/bin/sh");
  // The shell lists its own descriptors; ls runs as its child and is not what is listed.
  task->setArguments({"-c", "ls /proc/$$/fd"});
  const auto lines = linesOf(outputOf(task));
  ::close(leaky);
  EXPECT_THAT(lines, ElementsAre("0", "1", "2"));
}

TEST(Task, StandardStreamsAttachAndInputReachesEndOfFile) {
  auto input = Pipe::make();
  auto output = Pipe::make();
  ASSERT_TRUE(input && output);
  auto nullDevice = FileHandle::fileHandleWithNullDevice();
  ASSERT_TRUE(nullDevice);
  auto task = Task::create();
  task->setExecutable("/bin/sh");
  task->setArguments({"-c", "cat; echo to-error >&2; echo done"});
  task->setStandardInput(*input);
  task->setStandardOutput(*output);
  task->setStandardError(*nullDevice);
  ASSERT_TRUE(task->launch());
  // The child's ends are closed here, so closing our write end is all the child needs.
  EXPECT_EQ(input->fileHandleForReading()->fileDescriptor(), -1);
  EXPECT_EQ(output->fileHandleForWriting()->fileDescriptor(), -1);
  ASSERT_TRUE(input->fileHandleForWriting()->writeData("secret\n"));
  ASSERT_TRUE(input->fileHandleForWriting()->close());
  auto all = output->fileHandleForReading()->readDataToEndOfFile();
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, "secret\ndone\n");
  ASSERT_TRUE(task->waitUntilExit(kBound));
  EXPECT_EQ(task->terminationStatus(), 0);
}

TEST(Task, FailedLaunchDescribesItselfAndCallsNoHandler) {
  auto task = Task::create();
  task->setExecutable("/nonexistent/openconnect");
  std::atomic<int> calls{0};
  task->setTerminationHandler([&calls](Task&) { ++calls; });
  auto launched = task->launch();
  ASSERT_FALSE(launched);
  EXPECT_EQ(launched.error(), "launch /nonexistent/openconnect: No such file or directory");
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(task->processIdentifier(), 0);
  EXPECT_TRUE(task->waitUntilExit(0s));
  EXPECT_FALSE(task->sendSignal(SIGTERM));

  const std::string plainFile = ::testing::TempDir() + "vt-task-not-executable";
  std::ofstream(plainFile) << "#!/bin/sh\n";
  ::chmod(plainFile.c_str(), 0644);
  auto notExecutable = Task::create();
  notExecutable->setExecutable(plainFile);
  auto denied = notExecutable->launch();
  ::unlink(plainFile.c_str());
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error(), "launch " + plainFile + ": Permission denied");
  task.reset();
  notExecutable.reset();
  EXPECT_EQ(calls.load(), 0);
}

// A child that runs when a later step of the launch fails is not left behind, untracked.
TEST(Task, LaunchFailingAfterTheSpawnKillsAndReapsTheChild) {
  auto output = Pipe::make();
  ASSERT_TRUE(output);
  auto task = Task::create();
  task->setExecutable("/bin/sh");
  task->setArguments({"-c", "echo $$; exec sleep 10"});
  task->setStandardOutput(*output);
  std::atomic<int> calls{0};
  task->setTerminationHandler([&calls](Task&) { ++calls; });
  task->setAfterSpawnForTesting([] { return std::optional<std::string>("no waiter thread"); });
  const auto launched = task->launch();
  ASSERT_FALSE(launched);
  EXPECT_EQ(launched.error(), "launch /bin/sh: no waiter thread");
  EXPECT_FALSE(task->isRunning());
  // Its output ended with it; its pid names no child of ours any more, not even a zombie.
  (void)output->fileHandleForWriting()->close();
  const auto printed = output->fileHandleForReading()->readDataToEndOfFile();
  ASSERT_TRUE(printed);
  const int pid = std::atoi(printed->c_str());
  if (pid > 0) {
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
  task.reset();
  EXPECT_EQ(calls.load(), 0);
}

bool liveProcess(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  return std::getline(in, stat) && stat.find(") Z ") == std::string::npos;
}

// A child of its own group takes what it started with it, however it ends: by itself with a
// hanging grandchild left behind, or killed at a bound while the grandchild hangs. Until then
// the child does not count as ended, and no pipe its group holds stays open past it.
TEST(Task, AChildOfItsOwnGroupEndsWithEverythingItStarted) {
  struct Case {
    const char* name;
    const char* script;
    bool killed;
  };
  const Case cases[] = {
      {"ends by itself", "sleep 300 & echo $!; exit 3", false},
      {"killed at its bound", "sleep 300 & echo $!; wait", true},
      {"grandchild ignores SIGTERM", "(trap '' TERM; exec sleep 300) & echo $!; wait", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto task = Task::create();
    task->setExecutable("/bin/sh");
    task->setArguments({"-c", c.script});
    task->setOwnProcessGroup(true);
    auto pipe = Pipe::make();
    ASSERT_TRUE(pipe);
    task->setStandardOutput(*pipe);
    ASSERT_TRUE(task->launch());
    std::string first;
    for (char byte = 0; first.find('\n') == std::string::npos;) {
      auto data = pipe->fileHandleForReading()->readDataOfLength(1);
      ASSERT_TRUE(data && !data->empty());
      byte = data->front();
      first += byte;
    }
    const int grandchild = std::stoi(first);
    ASSERT_EQ(::getpgid(grandchild), task->processIdentifier());
    if (c.killed) {
      EXPECT_FALSE(task->waitUntilExit(100ms));
      task->kill();
    }
    ASSERT_TRUE(task->waitUntilExit(kBound));
    EXPECT_FALSE(liveProcess(grandchild));
    // The grandchild held the write end too: it is closed once the task counts as ended.
    auto rest = pipe->fileHandleForReading()->readDataToEndOfFile();
    EXPECT_TRUE(rest && rest->empty());
    EXPECT_EQ(task->terminationReason(),
              c.killed ? TerminationReason::uncaughtSignal : TerminationReason::exit);
  }
}

TEST(Task, HandlerMayDropTheLastReference) {
  auto done = std::make_shared<std::promise<int>>();
  auto finished = done->get_future();
  {
    auto task = Task::create();
    task->setExecutable("/bin/sh");
    task->setArguments({"-c", "exit 3"});
    // The handler holds the only reference once this scope ends, and lets it go.
    task->setTerminationHandler([keep = task, done](Task& ended) mutable {
      const int status = ended.terminationStatus();
      keep.reset();
      done->set_value(status);
    });
    ASSERT_TRUE(task->launch());
  }
  ASSERT_EQ(finished.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(finished.get(), 3);
}

TEST(Task, RunningTaskOutlivesItsCreatorsReference) {
  auto done = std::make_shared<std::promise<int>>();
  auto finished = done->get_future();
  auto input = Pipe::make();
  ASSERT_TRUE(input);
  {
    auto task = Task::create();
    task->setExecutable("/usr/bin/cat");
    task->setStandardInput(*input);
    task->setTerminationHandler(
        [done](Task& ended) { done->set_value(ended.terminationStatus()); });
    ASSERT_TRUE(task->launch());
  }
  ASSERT_TRUE(input->fileHandleForWriting()->close());
  ASSERT_EQ(finished.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(finished.get(), 0);
}

}  // namespace
}  // namespace vantreel::platform::process
