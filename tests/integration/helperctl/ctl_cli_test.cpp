// The control tool run as a user runs it: with no daemon at all, and against a scripted daemon
// in the test process for what it makes of the daemon's answers.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "shared/constants.hpp"
#include "tests/integration/helperctl/ctl_fake_daemon.hpp"
#include "tests/integration/helperctl/ctl_tool_run.hpp"

namespace vantreel {
namespace {

using namespace std::chrono_literals;
using testing::CtlFakeDaemon;
using testing::CtlToolRun;
using testing::lines;

const std::string usageLine =
    "usage: vantreel-helperctl version|status|install|uninstall|connect|disconnect [--json]\n";

CtlToolRun::Outcome runTool(const std::vector<std::string>& arguments,
                            const std::string& input = "") {
  CtlToolRun run(VT_HELPERCTL, arguments);
  EXPECT_EQ(run.launchError(), "");
  run.write(input);
  run.closeInput();
  auto outcome = run.finish();
  EXPECT_TRUE(outcome.exited) << "still running";
  return outcome;
}

nlohmann::json onlyObject(const std::string& output) {
  const auto all = lines(output);
  EXPECT_EQ(all.size(), 1U) << output;
  EXPECT_EQ(output.back(), '\n');
  return all.empty() ? nlohmann::json() : nlohmann::json::parse(all.front(), nullptr, false);
}

nlohmann::json unavailable(const std::string& detail) {
  return {
      {"state", "unavailable"}, {"detail", detail}, {"bundledVersion", Constants::helperVersion()}};
}

// No daemon: the service directory is empty.
class CtlCliNoDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vt-ctl-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(::setenv("VANTREEL_SERVICE_DIR", dir_.c_str(), 1), 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
};

TEST_F(CtlCliNoDaemonTest, StatusWithoutCommandWordReportsNotInstalled) {
  const nlohmann::json expected{{"state", "not_installed"},
                                {"method", "none"},
                                {"detail", ""},
                                {"version", ""},
                                {"bundledVersion", Constants::helperVersion()}};
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"--json"}, {"--help"}, {"status"}, {"--json", "status"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const auto outcome = runTool(arguments);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(onlyObject(outcome.output), expected);
    const auto errors = lines(outcome.error);
    ASSERT_EQ(errors.size(), 1U) << outcome.error;
    EXPECT_EQ(errors.front().rfind("helper XPC error: ", 0), 0U) << outcome.error;
  }
}

TEST_F(CtlCliNoDaemonTest, VersionContactsNothing) {
  const auto outcome = runTool({"version", "--json"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(onlyObject(outcome.output),
            (nlohmann::json{{"state", "ready"},
                            {"version", Constants::helperVersion()},
                            {"bundledVersion", Constants::helperVersion()}}));
  EXPECT_EQ(outcome.error, "");
}

TEST_F(CtlCliNoDaemonTest, UnknownCommandWordsGiveUsage) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"Status"}, {"help"}, {"--json", "help"}, {"--server", "host", "connect"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const auto outcome = runTool(arguments);
    EXPECT_EQ(outcome.status, 64);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.error, usageLine);
  }
}

// Every refusal is decided before the daemon is contacted: no transport error is reported.
TEST_F(CtlCliNoDaemonTest, ConnectRefusalsAreLocal) {
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    std::string detail;
  };
  const std::vector<std::string> good = {"connect", "--server", "vpn.example.com", "--user", "u"};
  const auto with = [&](std::vector<std::string> more) {
    auto all = good;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const std::vector<Case> cases = {
      {{"connect"}, "pw\n", "connect requires --server and --user"},
      {{"connect", "--server", "vpn.example.com"}, "pw\n", "connect requires --server and --user"},
      {{"connect", "--user", "u", "--server"}, "pw\n", "connect requires --server and --user"},
      {{"connect", "--server", "--user", "u"}, "pw\n", "server is not a valid host[:port][/path]"},
      {{"connect", "--server", "https://vpn.example.com/a%3Bb", "--user", "u"},
       "pw\n",
       "server argument failed allow-list checks"},
      {{"connect", "--server", "vpn.example.com", "--user", "\xc3\xa9"},
       "pw\n",
       "username must be 1\u2013128 characters of A-Z a-z 0-9 . _ @ + -"},
      {with({"--servercert", "sha256:abc"}), "pw\n", "servercert is not a valid OpenConnect pin"},
      {good, "", "password missing on stdin"},
      {good, "\n", "password missing on stdin"},
      {good, "\r\nsecond\n", "password missing on stdin"},
      {good, std::string(8192, 'p') + "\n", "password too long (at most 8191 bytes)"},
      {good, std::string(8191, 'p') + "x\r\n", "password too long (at most 8191 bytes)"},
      // No line feed at all: the tool stops reading early instead of waiting for one.
      {good, std::string(200000, 'p'), "password too long (at most 8191 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments) + " " + std::to_string(c.input.size()) +
                 " bytes in");
    const auto outcome = runTool(c.arguments, c.input);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(onlyObject(outcome.output), unavailable(c.detail));
    EXPECT_EQ(outcome.error, "");
  }
}

TEST_F(CtlCliNoDaemonTest, LongestPasswordAndDisconnectReachForTheDaemon) {
  // 8191 bytes and a "\r\n" pass the local check, so the missing daemon is what fails.
  for (const auto& [arguments, input] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"connect", "--server", "vpn.example.com", "--user", "u"},
            std::string(8191, 'p') + "\r\n"},
           // Input ends right after the password: the watcher sends no stop for a start that
           // never reached a daemon, so the failure is said once. Repeated: it was a race.
           {{"connect", "--server", "vpn.example.com", "--user", "u"}, "pw\n"},
           {{"connect", "--server", "vpn.example.com", "--user", "u"}, "pw\n"},
           {{"connect", "--server", "vpn.example.com", "--user", "u"}, "pw\n"},
           {{"tunnel"}, ""},
           {{"disconnect"}, ""},
           {{"stop"}, ""}}) {
    SCOPED_TRACE(arguments.front());
    const auto outcome = runTool(arguments, input);
    EXPECT_EQ(outcome.status, 1);
    const auto object = onlyObject(outcome.output);
    EXPECT_EQ(object.value("state", ""), "unavailable");
    const std::string detail = object.value("detail", "");
    EXPECT_NE(detail.find("No such file or directory"), std::string::npos) << detail;
    EXPECT_EQ(lines(outcome.error), std::vector<std::string>{"helper XPC error: " + detail});
  }
}

// A scripted daemon in this process.
TEST(CtlCliFakeDaemonTest, StatusComparesTheRunningVersion) {
  {
    CtlFakeDaemon::Script script;
    script.version = "0.9.9";
    CtlFakeDaemon daemon(script);
    ASSERT_TRUE(daemon.resumed());
    const auto outcome = runTool({});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(onlyObject(outcome.output),
              (nlohmann::json{{"state", "version_mismatch"},
                              {"method", "launchd"},
                              {"detail", "installed 0.9.9, bundled " + Constants::helperVersion()},
                              {"version", "0.9.9"},
                              {"bundledVersion", Constants::helperVersion()}}));
    EXPECT_EQ(outcome.error, "");
  }
  CtlFakeDaemon daemon(CtlFakeDaemon::Script{});
  ASSERT_TRUE(daemon.resumed());
  const auto outcome = runTool({"status"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(onlyObject(outcome.output),
            (nlohmann::json{{"state", "ready"},
                            {"method", "launchd"},
                            {"detail", ""},
                            {"version", Constants::helperVersion()},
                            {"bundledVersion", Constants::helperVersion()}}));
}

TEST(CtlCliFakeDaemonTest, InputEndingRightAfterThePasswordStopsAfterTheStart) {
  CtlFakeDaemon::Script script;
  script.logLines = {"POST https://vpn.example.com/", "Connected tun0 as 10.0.0.2"};
  CtlFakeDaemon daemon(script);
  ASSERT_TRUE(daemon.resumed());
  // Repeated, since an early stop used to be a race that a single run could miss.
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const auto before = daemon.events().size();
    const auto outcome = runTool(
        {"connect", "--server", "https://vpn.example.com:443/", "--user", "u1"}, "s3cret\r\n");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "POST https://vpn.example.com/\nConnected tun0 as 10.0.0.2\n");
    EXPECT_EQ(outcome.error, "");
    const auto events = daemon.events();
    // The version call tells the tool that the daemon handled the start without answering it.
    ASSERT_EQ(events.size(), before + 4);
    EXPECT_EQ(events[before], "connection");
    EXPECT_EQ(events[before + 1], "start vpn.example.com:443 u1 - s3cret\n");
    EXPECT_EQ(events[before + 2], "version");
    EXPECT_EQ(events[before + 3], "stop");
  }
}

TEST(CtlCliFakeDaemonTest, OneMoreLineStopsTheTunnelAndTheStartsCodeIsTheExitStatus) {
  CtlFakeDaemon::Script script;
  script.logLines = {"Connected tun0 as 10.0.0.2"};
  script.endAfterStop = HelperOpResult(true, 3);
  CtlFakeDaemon daemon(script);
  ASSERT_TRUE(daemon.resumed());
  CtlToolRun run(VT_HELPERCTL, {"connect", "--server", "vpn.example.com", "--user", "u"});
  ASSERT_EQ(run.launchError(), "");
  run.write("pw\n");
  ASSERT_TRUE(run.waitForOutput("Connected tun0"));
  EXPECT_EQ(daemon.waitForEvents(2).size(), 2U) << "stopped while standard input was open";
  run.write("any line\n");
  auto outcome = run.finish();
  EXPECT_EQ(outcome.status, 3);
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(daemon.events().back(), "stop");
}

// A second line is often a one-time code meant for the server; when it stops a start whose
// tunnel is not up, the tool says so instead of failing without a word.
TEST(CtlCliFakeDaemonTest, ASecondLineBeforeTheTunnelIsUpSaysWhyItDisconnects) {
  CtlFakeDaemon::Script script;
  script.logLines = {"POST https://vpn.example.com/", "Please enter your OTP password."};
  script.endAfterStop = HelperOpResult(false, 2, "openconnect exited");
  CtlFakeDaemon daemon(script);
  ASSERT_TRUE(daemon.resumed());
  const auto outcome =
      runTool({"connect", "--server", "vpn.example.com", "--user", "u"}, "pw\n123456\n");
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.error, "standard input sent another line: disconnecting\nopenconnect exited\n");
  EXPECT_EQ(daemon.events().back(), "stop");
}

TEST(CtlCliFakeDaemonTest, RefusedStartPrintsItsMessage) {
  for (const auto& [answer, expectedError, expectedStatus] :
       std::vector<std::tuple<HelperOpResult, std::string, int>>{
           {HelperOpResult(false, 1, "a tunnel is already running"),
            "a tunnel is already running\n", 1},
           {HelperOpResult(false, 5, ""), "connect failed\n", 5},
           {HelperOpResult(true, 2, "not printed"), "", 2}}) {
    CtlFakeDaemon::Script script;
    script.startAnswer = answer;
    CtlFakeDaemon daemon(script);
    ASSERT_TRUE(daemon.resumed());
    CtlToolRun run(VT_HELPERCTL, {"connect", "--server", "vpn.example.com", "--user", "u"});
    run.write("pw\n");  // input stays open: the reply alone ends the tool
    const auto outcome = run.finish();
    EXPECT_EQ(outcome.status, expectedStatus);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.error, expectedError);
  }
}

TEST(CtlCliFakeDaemonTest, DisconnectWritesTheReply) {
  {
    CtlFakeDaemon daemon(CtlFakeDaemon::Script{});
    ASSERT_TRUE(daemon.resumed());
    const auto outcome = runTool({"disconnect"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(onlyObject(outcome.output),
              (nlohmann::json{{"state", "stopping"},
                              {"ok", true},
                              {"detail", "stopping"},
                              {"version", Constants::helperVersion()}}));
  }
  CtlFakeDaemon::Script script;
  script.stopAnswer = HelperOpResult(false, 1, "no tunnel is running", "idle", "0.0.1");
  CtlFakeDaemon daemon(script);
  ASSERT_TRUE(daemon.resumed());
  const auto outcome = runTool({"stop", "--json"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(onlyObject(outcome.output), (nlohmann::json{{"state", "idle"},
                                                        {"ok", false},
                                                        {"detail", "no tunnel is running"},
                                                        {"version", "0.0.1"}}));
  EXPECT_EQ(outcome.error, "");
}

}  // namespace
}  // namespace vantreel
