// The signed control tool against the real daemon, both from a signed test bundle whose
// OpenConnect is the scripted stand-in.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "shared/constants.hpp"
#include "tests/fakes/fake_openconnect_control.hpp"
#include "tests/integration/helperctl/ctl_tool_run.hpp"

namespace vantreel {
namespace {

using namespace std::chrono_literals;
using testing::CtlToolRun;
using testing::FakeOpenConnect;
using testing::lines;

const std::filesystem::path bundle = VT_CTL_TEST_BUNDLE;
const std::string tool = (bundle / "Contents/MacOS/vantreel-helperctl").string();
const std::string daemonProgram =
    (bundle / "Contents/Library/LaunchDaemons/org.vantreel.desktop.helper").string();

// A documentation address: deleting a host route to it touches nothing real.
const std::string server = "192.0.2.1";

bool processGone(int pid) {
  // A child the daemon has not reaped yet counts as gone: it runs no more.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return text.empty() || (close != std::string::npos && close + 2 < text.size() &&
                          (text[close + 2] == 'Z' || text[close + 2] == 'X'));
}

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::seconds bound = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class CtlDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = std::filesystem::temp_directory_path() /
           ("vt-ctl-daemon-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(::setenv("VANTREEL_SERVICE_DIR", dir_.c_str(), 1), 0);
    user_ = "ctl" + std::to_string(::getpid()) + "." + name.substr(0, 40);
    const auto program = daemon();
    ASSERT_FALSE(program.empty());
    daemon_ = std::make_unique<CtlToolRun>(program, std::vector<std::string>{});
    ASSERT_EQ(daemon_->launchError(), "");
    const auto socket = dir_ / std::string(Constants::machService);
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(socket); }))
        << "the daemon did not come up";
  }
  void TearDown() override {
    daemon_.reset();
    FakeOpenConnect::removeScenario(user_);
    std::filesystem::remove_all(dir_);
  }

  // The daemon program to run.
  virtual std::string daemon() { return daemonProgram; }

  std::unique_ptr<CtlToolRun> connect(const std::string& password = "pw\n") {
    auto run = std::make_unique<CtlToolRun>(
        tool, std::vector<std::string>{"connect", "--server", server, "--user", user_});
    EXPECT_EQ(run->launchError(), "");
    run->write(password);
    return run;
  }

  static CtlToolRun::Outcome runTool(const std::vector<std::string>& arguments) {
    CtlToolRun run(tool, arguments);
    run.closeInput();
    auto outcome = run.finish();
    EXPECT_TRUE(outcome.exited);
    return outcome;
  }

  static nlohmann::json object(const CtlToolRun::Outcome& outcome) {
    const auto all = lines(outcome.output);
    EXPECT_EQ(all.size(), 1U) << outcome.output;
    return all.empty() ? nlohmann::json() : nlohmann::json::parse(all.front(), nullptr, false);
  }

  std::filesystem::path dir_;
  std::string user_;
  std::unique_ptr<CtlToolRun> daemon_;
};

TEST_F(CtlDaemonTest, StatusIsReadyWithTheDaemonUp) {
  const auto outcome = runTool({"status", "--json"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(object(outcome), (nlohmann::json{{"state", "ready"},
                                             {"method", "launchd"},
                                             {"detail", ""},
                                             {"version", Constants::helperVersion()},
                                             {"bundledVersion", Constants::helperVersion()}}));
  EXPECT_EQ(outcome.error, "");
}

TEST_F(CtlDaemonTest, ConnectRelaysOpenConnectsLinesAndExitsWithItsStatus) {
  FakeOpenConnect::writeScenario(user_, FakeOpenConnect::Scenario()
                                            .out("POST https://192.0.2.1/")
                                            .err("  Connected as 10.0.0.2, using SSL  ")
                                            .sleep(100ms)
                                            .out("Connected tun0 as 10.0.0.2")
                                            // Nothing orders the start's answer after the
                                            // last lines: give them a head start.
                                            .sleep(500ms)
                                            .exit(4));
  auto run = connect("s3cret\r\n");
  const auto outcome = run->finish();
  EXPECT_EQ(outcome.status, 4);
  const auto out = lines(outcome.output);
  EXPECT_NE(std::find(out.begin(), out.end(), "POST https://192.0.2.1/"), out.end())
      << outcome.output;
  EXPECT_NE(std::find(out.begin(), out.end(), "Connected as 10.0.0.2, using SSL"), out.end())
      << outcome.output;
  EXPECT_EQ(out.back(), "Connected tun0 as 10.0.0.2") << outcome.output;
  // OpenConnect's own failure comes back as the daemon's message.
  EXPECT_EQ(outcome.error, "openconnect exited\n");
  const auto record = FakeOpenConnect::readRecord(user_);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->standardInput, "s3cret\n");
}

TEST_F(CtlDaemonTest, ClosingStandardInputOrOneMoreLineEndsTheTunnel) {
  for (const bool byLine : {false, true}) {
    SCOPED_TRACE(byLine ? "one more line" : "end of input");
    FakeOpenConnect::writeScenario(
        user_, FakeOpenConnect::Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
    auto run = connect();
    ASSERT_TRUE(run->waitForOutput("Connected tun0"));
    const auto record = FakeOpenConnect::waitForRecord(user_);
    ASSERT_TRUE(record.has_value());
    EXPECT_FALSE(processGone(record->pid));
    if (byLine) {
      run->write("\n");
    } else {
      run->closeInput();
    }
    const auto outcome = run->finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.error, "");
    EXPECT_TRUE(eventually([&] { return processGone(record->pid); }));
  }
}

TEST_F(CtlDaemonTest, DisconnectWithAndWithoutATunnel) {
  FakeOpenConnect::writeScenario(
      user_, FakeOpenConnect::Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
  auto run = connect();
  ASSERT_TRUE(run->waitForOutput("Connected tun0"));
  const auto record = FakeOpenConnect::waitForRecord(user_);
  ASSERT_TRUE(record.has_value());

  auto outcome = runTool({"tunnel"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(object(outcome), (nlohmann::json{{"ok", true},
                                             {"state", "connected"},
                                             {"pid", record->pid},
                                             {"detail", ""},
                                             {"version", Constants::helperVersion()}}));

  outcome = runTool({"disconnect"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(object(outcome), (nlohmann::json{{"state", "stopping"},
                                             {"ok", true},
                                             {"detail", "stopping"},
                                             {"version", Constants::helperVersion()}}));
  const auto ended = run->finish();
  EXPECT_EQ(ended.status, 0);

  outcome = runTool({"disconnect"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(object(outcome), (nlohmann::json{{"state", "idle"},
                                             {"ok", false},
                                             {"detail", "no tunnel is running"},
                                             {"version", Constants::helperVersion()}}));
  EXPECT_EQ(outcome.error, "");

  outcome = runTool({"tunnel"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(object(outcome), (nlohmann::json{{"ok", true},
                                             {"state", "idle"},
                                             {"pid", 0},
                                             {"detail", ""},
                                             {"version", Constants::helperVersion()}}));
}

TEST_F(CtlDaemonTest, SecondConnectIsRefusedWhileATunnelRuns) {
  FakeOpenConnect::writeScenario(
      user_, FakeOpenConnect::Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
  auto first = connect();
  ASSERT_TRUE(first->waitForOutput("Connected tun0"));
  const auto record = FakeOpenConnect::waitForRecord(user_);
  ASSERT_TRUE(record.has_value());

  // As scripts call it, standard input ending right after the password, and held open: the
  // refused connect's own stop must never reach the tunnel it did not start.
  for (const bool inputEnds : {true, false, true}) {
    SCOPED_TRACE(inputEnds ? "input ends" : "input open");
    auto second = connect();
    if (inputEnds) {
      second->closeInput();
    }
    const auto refused = second->finish();
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.error, "a tunnel is already running\n");
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(processGone(record->pid));
    const auto tunnel = runTool({"tunnel"});
    EXPECT_EQ(object(tunnel).value("state", ""), "connected") << tunnel.output;
  }

  first->closeInput();
  EXPECT_EQ(first->finish().status, 0);
}

TEST_F(CtlDaemonTest, KillingTheConnectingToolStopsTheTunnel) {
  FakeOpenConnect::writeScenario(
      user_, FakeOpenConnect::Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
  auto run = connect();
  ASSERT_TRUE(run->waitForOutput("Connected tun0"));
  const auto record = FakeOpenConnect::waitForRecord(user_);
  ASSERT_TRUE(record.has_value());
  run->task().kill();
  EXPECT_EQ(run->finish().status, SIGKILL);
  EXPECT_TRUE(eventually([&] { return processGone(record->pid); }));
  // The daemon is idle again.
  const auto outcome = runTool({"disconnect"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(object(outcome).value("detail", ""), "no tunnel is running");
}

// The same daemon as built with another helper version: a copy whose one version text, the
// build's injected value, is replaced by another of the same length. Cheaper than a second
// build of the daemon, and the program is otherwise the one under test.
class CtlOtherVersionDaemonTest : public CtlDaemonTest {
 protected:
  std::string daemon() override {
    std::ifstream in(daemonProgram, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string built = Constants::helperVersion() + std::string(1, '\0');
    const auto at = bytes.find(built);
    if (at == std::string::npos || bytes.find(built, at + 1) != std::string::npos ||
        built.size() != otherVersion.size() + 1) {
      ADD_FAILURE() << "the daemon does not hold its version text exactly once";
      return {};
    }
    bytes.replace(at, otherVersion.size(), otherVersion);
    const auto copy = dir_ / "org.vantreel.desktop.helper";
    std::ofstream(copy, std::ios::binary) << bytes;
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    return copy.string();
  }

  const std::string otherVersion = "0.9.9";
};

TEST_F(CtlOtherVersionDaemonTest, StatusReportsTheVersionMismatch) {
  const auto outcome = runTool({"status"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(object(outcome),
            (nlohmann::json{{"state", "version_mismatch"},
                            {"method", "launchd"},
                            {"detail", "installed 0.9.9, bundled " + Constants::helperVersion()},
                            {"version", "0.9.9"},
                            {"bundledVersion", Constants::helperVersion()}}));
  EXPECT_EQ(outcome.error, "");
  // Replies carry the daemon's version, not the tool's.
  EXPECT_EQ(object(runTool({"disconnect"})).value("version", ""), "0.9.9");
}

}  // namespace
}  // namespace vantreel
