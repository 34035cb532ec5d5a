#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>

#include "platform/process/pipe.hpp"
#include "platform/process/task.hpp"
#include "tests/fakes/fake_openconnect_control.hpp"

namespace vantreel::platform::process {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::FakeOpenConnect;

constexpr auto kBound = 60s;

struct Run {
  std::shared_ptr<Task> task;
  std::shared_ptr<FileHandle> output;
  std::shared_ptr<FileHandle> error;
};

// Launches the stand-in as the runner does: OpenConnect's arguments, three variables, the
// password on standard input followed by end of file.
Run launch(const std::string& user, const std::string& program = FakeOpenConnect::executable()) {
  auto input = Pipe::make();
  auto output = Pipe::make();
  auto error = Pipe::make();
  EXPECT_TRUE(input && output && error);
  auto task = Task::create();
  task->setExecutable(program);
  task->setArguments({"--protocol=anyconnect", "--user", user, "--passwd-on-stdin", "--non-inter",
                      "--script", "/x/vpnc-script", "vpn.example.com"});
  task->setEnvironment(
      {"LANG=en_US.UTF-8", "PATH=/x:/usr/bin:/bin:/usr/sbin:/sbin", "DYLD_LIBRARY_PATH=/x/lib"});
  task->setStandardInput(*input);
  task->setStandardOutput(*output);
  task->setStandardError(*error);
  auto launched = task->launch();
  EXPECT_TRUE(launched) << launched.error();
  EXPECT_TRUE(input->fileHandleForWriting()->writeData("pass word\r\n"));
  EXPECT_TRUE(input->fileHandleForWriting()->close());
  return {task, output->fileHandleForReading(), error->fileHandleForReading()};
}

TEST(FakeOpenConnect, RecordsWhatItWasGivenAndPlaysTheScenario) {
  const std::string user = "record.user@example.com";
  FakeOpenConnect::writeScenario(user, FakeOpenConnect::Scenario()
                                           .out("first line")
                                           .rawOut("split ")
                                           .sleep(20ms)
                                           .rawOut(std::string("li\xffne\r\n", 7))
                                           .err("to error")
                                           .exit(3));
  auto run = launch(user);
  auto output = run.output->readDataToEndOfFile();
  auto error = run.error->readDataToEndOfFile();
  ASSERT_TRUE(run.task->waitUntilExit(kBound));
  EXPECT_EQ(run.task->terminationStatus(), 3);
  EXPECT_EQ(run.task->terminationReason(), TerminationReason::exit);
  EXPECT_EQ(output.value_or(""), std::string("first line\nsplit li\xffne\r\n", 24));
  EXPECT_EQ(error.value_or(""), "to error\n");

  auto record = FakeOpenConnect::readRecord(user);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->pid, run.task->processIdentifier());
  EXPECT_THAT(record->arguments,
              ElementsAre(FakeOpenConnect::executable().string(), "--protocol=anyconnect", "--user",
                          user, "--passwd-on-stdin", "--non-inter", "--script", "/x/vpnc-script",
                          "vpn.example.com"));
  EXPECT_THAT(record->environment,
              ElementsAre("LANG=en_US.UTF-8", "PATH=/x:/usr/bin:/bin:/usr/sbin:/sbin",
                          "DYLD_LIBRARY_PATH=/x/lib"));
  EXPECT_EQ(record->standardInput, "pass word\r\n");
  FakeOpenConnect::removeScenario(user);
}

TEST(FakeOpenConnect, WithoutScenarioConnectsAndEndsCleanlyOnSigint) {
  const std::string user = "no-scenario";
  FakeOpenConnect::removeScenario(user);
  auto run = launch(user);
  auto line = run.output->readDataOfLength(27, std::chrono::steady_clock::now() + kBound);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "Connected tun0 as 10.0.0.2\n");
  EXPECT_FALSE(run.task->waitUntilExit(50ms));
  run.task->interrupt();
  ASSERT_TRUE(run.task->waitUntilExit(kBound));
  EXPECT_EQ(run.task->terminationReason(), TerminationReason::exit);
  EXPECT_EQ(run.task->terminationStatus(), 0);
  ASSERT_TRUE(FakeOpenConnect::readRecord(user));
  FakeOpenConnect::removeScenario(user);
}

TEST(FakeOpenConnect, IgnoresSignalsOnRequestAndWorksWhenCopied) {
  const std::string user = "stubborn";
  FakeOpenConnect::writeScenario(user, FakeOpenConnect::Scenario()
                                           .ignoreSigint()
                                           .ignoreSigterm()
                                           .out("Connected utun3")
                                           .waitForSignal());
  // Copied elsewhere, as into an app bundle, it still finds its scenarios.
  const auto copy = std::filesystem::temp_directory_path() / "vt-fake-openconnect-copy";
  std::filesystem::copy_file(FakeOpenConnect::executable(), copy,
                             std::filesystem::copy_options::overwrite_existing);
  auto run = launch(user, copy.string());
  auto line = run.output->readDataOfLength(16, std::chrono::steady_clock::now() + kBound);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "Connected utun3\n");
  run.task->interrupt();
  run.task->terminate();
  EXPECT_FALSE(run.task->waitUntilExit(200ms));
  run.task->kill();
  ASSERT_TRUE(run.task->waitUntilExit(kBound));
  EXPECT_EQ(run.task->terminationReason(), TerminationReason::uncaughtSignal);
  EXPECT_EQ(run.task->terminationStatus(), SIGKILL);
  std::filesystem::remove(copy);
  FakeOpenConnect::removeScenario(user);
}

TEST(FakeOpenConnect, RecordParserRejectsDamage) {
  const std::string good = "pid 5\narg 3:a\nb\nenv 0:\nstdin 00ff0a\nend\n";
  auto parsed = FakeOpenConnect::parseRecord(good);
  ASSERT_TRUE(parsed);
  EXPECT_THAT(parsed->arguments, ElementsAre("a\nb"));
  EXPECT_THAT(parsed->environment, ElementsAre(""));
  EXPECT_EQ(parsed->standardInput, std::string("\x00\xff\n", 3));
  EXPECT_FALSE(FakeOpenConnect::parseRecord("pid 5\narg 9:a\nend\n"));
  EXPECT_FALSE(FakeOpenConnect::parseRecord("pid 5\nstdin 0\nend\n"));
  EXPECT_FALSE(FakeOpenConnect::parseRecord("pid 5\narg 1:a\n"));
}

}  // namespace
}  // namespace vantreel::platform::process
