// The real daemon, run as root on a scratch service directory, driven by test clients that are
// signed inside a test bundle (or unsigned, or signed under another identifier), with the
// scripted OpenConnect stand-in inside that bundle.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/posix/io.hpp"
#include "tests/fakes/fake_openconnect_control.hpp"
#include "tests/integration/helper/daemon_test_support.hpp"

namespace vantreel::testing {
namespace {

using namespace std::chrono_literals;
using Scenario = FakeOpenConnect::Scenario;

const fs::path kBundle = VT_DAEMON_TEST_BUNDLE;

std::size_t entriesIn(const fs::path& directory) {
  std::error_code error;
  std::size_t count = 0;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vt-daemon-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    fs::permissions(scratch_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    environment_ = {{"VANTREEL_SERVICE_DIR", scratch_.string()},
                    {"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}};
    // Sanitized runs pass their options on (halt_on_error makes a report fail the test).
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) {  // NOLINT(concurrency-mt-unsafe)
        environment_[name] = value;
      }
    }
    daemon_ = std::make_unique<Daemon>(VT_DAEMON_PATH, environment_);
    ASSERT_TRUE(daemon_->waitForEntry("info", "org.vantreel.desktop.helper 1.0.2 starting"));
    const auto socket = scratch_ / "org.vantreel.desktop.helperd";
    for (int i = 0; i < 600 && !fs::exists(socket); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(fs::exists(socket));
    warmUp();
    baseline_ = {threads(), descriptors()};
  }

  void TearDown() override {
    clients_.clear();
    if (daemon_ && !::testing::Test::HasFatalFailure()) {
      // Every connection, tunnel and thread of the test has gone: back to the idle counts.
      auto now = std::make_pair(threads(), descriptors());
      for (int i = 0; i < 600 && now != baseline_; ++i) {
        std::this_thread::sleep_for(50ms);
        now = {threads(), descriptors()};
      }
      EXPECT_EQ(now.first, baseline_.first) << "threads of the daemon";
      EXPECT_EQ(now.second, baseline_.second) << "descriptors of the daemon";
    }
    daemon_.reset();
    for (const auto& user : users_) {
      FakeOpenConnect::removeScenario(user);
    }
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  // One tunnel and one connection from start to end, so that whatever the daemon creates
  // once, on first use, exists before the idle counts are taken.
  void warmUp() {
    const auto user = scenario("warmup", Scenario().exit(0));
    {
      Client client(helperctl(), environment_);
      ASSERT_EQ(summary(client.call("start " + user + " localhost secret")),
                "true 0 openconnect exited idle 0");
    }
    ASSERT_TRUE(daemon_->waitForEntry("info", "OpenConnect exited rc=0"));
    auto last = std::make_pair(threads(), descriptors());
    for (int stable = 0, i = 0; stable < 5 && i < 600; ++i) {
      std::this_thread::sleep_for(100ms);
      const auto now = std::make_pair(threads(), descriptors());
      stable = now == last ? stable + 1 : 0;
      last = now;
    }
  }

  std::size_t threads() const {
    return entriesIn("/proc/" + std::to_string(daemon_->pid()) + "/task");
  }
  std::size_t descriptors() const {
    return entriesIn("/proc/" + std::to_string(daemon_->pid()) + "/fd");
  }

  // A scenario under a user name of this test's own.
  std::string scenario(const std::string& name, const Scenario& steps) {
    std::string user = "daemon." + name + "." + std::to_string(::getpid());
    FakeOpenConnect::writeScenario(user, steps);
    users_.push_back(user);
    return user;
  }

  static std::string helperctl() {
    return (kBundle / "Contents/MacOS/vantreel-helperctl").string();
  }
  static std::string app() { return (kBundle / "Contents/MacOS/Vantreel").string(); }

  Client& client(const std::string& executable) {
    clients_.push_back(std::make_unique<Client>(executable, environment_));
    return *clients_.back();
  }

  // Polls status from a client until the tunnel is idle again.
  static bool becomesIdle(Client& observer) {
    for (int i = 0; i < 600; ++i) {
      if (summary(observer.call("status")) == "true 0  idle 0") {
        return true;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  fs::path scratch_;
  std::map<std::string, std::string> environment_;
  std::unique_ptr<Daemon> daemon_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::vector<std::string> users_;
  std::pair<std::size_t, std::size_t> baseline_;
};

TEST_F(DaemonTest, StatusStopAndVersionWithoutATunnel) {
  for (const auto& executable : {helperctl(), app()}) {
    auto& c = client(executable);
    EXPECT_EQ(summary(c.call("status")), "true 0  idle 0");
    EXPECT_EQ(summary(c.call("stop")), "false 1 no tunnel is running idle 0");
    const auto version = c.call("version");
    ASSERT_TRUE(version);
    EXPECT_EQ(version->value("version", ""), "1.0.2");
    EXPECT_TRUE(daemon_->waitForEntry(
        "info", "incoming XPC connection from pid " + std::to_string(c.clientPid())));
  }
  EXPECT_EQ(
      daemon_->countEntries("info", "accepted XPC connection from a signed Vantreel caller", 3),
      3U);  // the warm-up's and these two
  for (const auto& line : daemon_->lines()) {
    EXPECT_EQ(line.find("error "), std::string::npos) << line;
  }
}

TEST_F(DaemonTest, AStartRepliesOnlyWhenOpenConnectExits) {
  const auto ok =
      scenario("exit0", Scenario().out("Connected tun0 as 10.0.0.2").sleep(300ms).exit(0));
  const auto failing = scenario("exit1", Scenario().out("authentication failed").exit(1));
  auto& c = client(helperctl());
  EXPECT_EQ(summary(c.call("start " + ok + " localhost secret")),
            "true 0 openconnect exited idle 0");
  EXPECT_EQ(c.logLines(), std::vector<std::string>{"Connected tun0 as 10.0.0.2"});
  EXPECT_EQ(summary(c.call("start " + failing + " localhost secret")),
            "false 1 openconnect exited idle 0");
  EXPECT_EQ(daemon_->countEntries("info", "accepted start for localhost", 3), 3U);

  const auto record = FakeOpenConnect::readRecord(ok);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->standardInput, "secret\n");
}

TEST_F(DaemonTest, StopReturnsTheStoppedPidAndTheStartersReplyFollows) {
  const auto user = scenario("held", Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
  auto& owner = client(helperctl());
  auto& other = client(app());
  owner.send("start " + user + " localhost secret");
  ASSERT_TRUE(owner.waitFor("log"));
  const auto record = FakeOpenConnect::waitForRecord(user);
  ASSERT_TRUE(record);
  const auto pid = std::to_string(record->pid);
  EXPECT_EQ(summary(other.call("status")), "true 0  connected " + pid);

  std::this_thread::sleep_for(300ms);
  for (const auto& line : owner.lines()) {
    EXPECT_EQ(line.find("\"op\":\"start\""), std::string::npos)
        << "the start was answered while its tunnel runs: " << line;
  }

  // Anyone admitted may stop the tunnel, whoever started it.
  EXPECT_EQ(summary(other.call("stop")), "true 0 stopping stopping " + pid);
  EXPECT_EQ(summary(owner.waitFor("start")), "true 0 openconnect exited idle 0");
  EXPECT_TRUE(becomesIdle(other));
  EXPECT_TRUE(daemon_->waitForEntry("info", "OpenConnect exited rc=0"));
}

TEST_F(DaemonTest, ASecondStartIsRefusedAndTheOwnerKeepsItsLines) {
  const auto user =
      scenario("owner", Scenario().out("line one").sleep(1500ms).out("line two").waitForSignal());
  const auto second = scenario("second", Scenario().exit(0));
  auto& owner = client(helperctl());
  auto& intruder = client(app());
  owner.send("start " + user + " localhost secret");
  ASSERT_TRUE(owner.waitFor("log"));

  EXPECT_EQ(summary(owner.call("start " + second + " localhost secret")),
            "false 1 a tunnel is already running authenticating 0");
  EXPECT_EQ(summary(intruder.call("start " + second + " localhost secret")),
            "false 1 a tunnel is already running authenticating 0");
  EXPECT_EQ(daemon_->countEntries("error", "start failed: a tunnel is already running", 2), 2U);

  ASSERT_TRUE(owner.waitFor("log"));
  EXPECT_EQ(owner.logLines(), (std::vector<std::string>{"line one", "line two"}));
  EXPECT_TRUE(intruder.logLines().empty());
  EXPECT_FALSE(FakeOpenConnect::readRecord(second)) << "a second OpenConnect was started";

  // The owner is unchanged: the intruder leaving stops nothing, the owner leaving does.
  intruder.call("close");
  std::this_thread::sleep_for(300ms);
  auto& observer = client(helperctl());
  EXPECT_EQ(summary(observer.call("status")).rfind("true 0  authenticating ", 0), 0U);
  owner.call("close");
  EXPECT_TRUE(becomesIdle(observer));
}

TEST_F(DaemonTest, InvalidStartsFailAtOnceWithTheRunnersText) {
  auto& c = client(helperctl());
  const auto bad = c.call("start bad.user.name bad@server secret");
  ASSERT_TRUE(bad);
  EXPECT_FALSE((*bad)["ok"].get<bool>());
  EXPECT_EQ((*bad)["code"].get<int>(), 1);
  const auto message = (*bad)["message"].get<std::string>();
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(daemon_->countEntries("error", "start failed: " + message, 1), 1U);

  const auto user = scenario("nopassword", Scenario().exit(0));
  EXPECT_EQ(summary(c.call("start " + user + " localhost -")),
            "false 1 failed to read the secret from the XPC file descriptor idle 0");
  EXPECT_EQ(summary(c.call("status")), "true 0  idle 0");
}

TEST_F(DaemonTest, OwnerCrashStopsTheTunnel) {
  const auto user = scenario("crash", Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
  auto& owner = client(helperctl());
  auto& observer = client(app());
  owner.send("start " + user + " localhost secret");
  ASSERT_TRUE(owner.waitFor("log"));
  EXPECT_EQ(summary(observer.call("status")).rfind("true 0  connected ", 0), 0U);
  owner.kill();
  EXPECT_TRUE(becomesIdle(observer));
  EXPECT_TRUE(daemon_->waitForEntry("info", "OpenConnect exited rc=0"));
}

TEST_F(DaemonTest, AConnectionWhoseTunnelEndedNeverStopsALaterOne) {
  const auto first =
      scenario("first", Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
  const auto later =
      scenario("later", Scenario().out("Connected tun1 as 10.0.0.3").waitForSignal());
  auto& earlier = client(helperctl());
  auto& owner = client(app());
  earlier.send("start " + first + " localhost secret");
  ASSERT_TRUE(earlier.waitFor("log"));
  EXPECT_EQ(summary(earlier.call("stop")).rfind("true 0 stopping stopping ", 0), 0U);
  EXPECT_EQ(summary(earlier.waitFor("start")), "true 0 openconnect exited idle 0");

  // The later start holds the runner while its password is withheld; the earlier connection,
  // owner of a tunnel that has ended, goes away meanwhile.
  owner.send("startheld " + later + " localhost");
  std::this_thread::sleep_for(2s);
  earlier.call("close");
  std::this_thread::sleep_for(500ms);
  owner.call("feed secret");
  ASSERT_TRUE(owner.waitFor("log"));
  const auto record = FakeOpenConnect::waitForRecord(later);
  ASSERT_TRUE(record);
  std::this_thread::sleep_for(1s);
  auto& observer = client(helperctl());
  EXPECT_EQ(summary(observer.call("status")), "true 0  connected " + std::to_string(record->pid));

  // Its own owner's end still stops it.
  owner.call("close");
  EXPECT_TRUE(becomesIdle(observer));
}

TEST_F(DaemonTest, CallersThatFailTheRequirementAreRefusedAtAdmission) {
  for (const auto& [executable, text] : std::vector<std::pair<std::string, std::string>>{
           {VT_UNSIGNED_CLIENT, "caller failed the code-signing requirement"},
           {VT_WRONG_IDENTIFIER_CLIENT, "caller failed the code-signing requirement"},
           {VT_UNBUNDLED_CLIENT, "could not resolve the caller's app bundle"}}) {
    auto& c = client(executable);
    const auto version = c.call("version");
    ASSERT_TRUE(version);
    EXPECT_TRUE(version->contains("error")) << executable;
    EXPECT_TRUE(daemon_->waitForEntry(
        "info", "incoming XPC connection from pid " + std::to_string(c.clientPid())));
    EXPECT_TRUE(daemon_->waitForEntry("error", "rejected connection: " + text)) << executable;
  }
  EXPECT_EQ(daemon_->countEntries("info", "accepted XPC connection from a signed Vantreel caller"),
            1U);  // the warm-up's only
}

TEST_F(DaemonTest, ACallerWhoseBundleCannotBeFoundIsRefusedEachOperationButTheVersion) {
  const auto user =
      scenario("lines", Scenario().out("line one").sleep(1500ms).out("line two").waitForSignal());
  auto& owner = client(helperctl());
  owner.send("start " + user + " localhost secret");
  ASSERT_TRUE(owner.waitFor("log"));
  const auto record = FakeOpenConnect::waitForRecord(user);
  ASSERT_TRUE(record);

  // A client admitted from its bundle, which is then renamed so no ".app" encloses it.
  const auto copy = scratch_ / "Copy.app";
  fs::copy(kBundle, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  auto& stray = client((copy / "Contents/MacOS/vantreel-helperctl").string());
  ASSERT_EQ(summary(stray.call("status")), "true 0  authenticating " + std::to_string(record->pid));
  fs::rename(copy, scratch_ / "Copy.APP");

  const std::string text = "could not resolve the caller's app bundle";
  EXPECT_EQ(stray.call("version")->value("version", ""), "1.0.2");
  EXPECT_EQ(summary(stray.call("status")), "false 1 " + text + " authenticating 0");
  EXPECT_EQ(summary(stray.call("stop")),
            "false 1 " + text + " authenticating " + std::to_string(record->pid));
  const auto second = scenario("stray", Scenario().exit(0));
  EXPECT_EQ(summary(stray.call("start " + second + " localhost secret")),
            "false 1 " + text + " authenticating 0");
  EXPECT_EQ(daemon_->countEntries("error", "rejected start: " + text, 1), 1U);

  ASSERT_TRUE(owner.waitFor("log"));
  EXPECT_EQ(owner.logLines(), (std::vector<std::string>{"line one", "line two"}));
  EXPECT_TRUE(stray.logLines().empty());
  EXPECT_EQ(summary(owner.call("stop")), "true 0 stopping stopping " + std::to_string(record->pid));
  EXPECT_EQ(summary(owner.waitFor("start")), "true 0 openconnect exited idle 0");
}

TEST_F(DaemonTest, SixtyFiveConnectionsLeaveTheDaemonServing) {
  auto& holder = client(helperctl());
  const auto held = holder.call("hold 64");
  ASSERT_TRUE(held);
  EXPECT_EQ((*held)["ok"].get<int>(), 64);
  const auto refused = holder.call("hold 1");
  ASSERT_TRUE(refused);
  EXPECT_EQ((*refused)["failed"].get<int>(), 1);
  EXPECT_TRUE(daemon_->waitForEntry("error", "refused connection from pid " +
                                                 std::to_string(holder.clientPid()) +
                                                 ": 64 connections are open already"));
  holder.call("release");

  auto& later = client(app());
  bool served = false;
  for (int i = 0; i < 600 && !served; ++i) {
    served = later.call("version")->value("version", "") == "1.0.2";
    if (!served) {
      std::this_thread::sleep_for(50ms);
    }
  }
  EXPECT_TRUE(served);
  EXPECT_EQ(summary(later.call("status")), "true 0  idle 0");
}

TEST(DaemonEntry, ANonRootStartWritesTwoEntriesAndExits78) {
  std::string pattern = (fs::temp_directory_path() / "vt-daemon-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path scratch = pattern;
  fs::permissions(scratch, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  const auto copy = scratch / "org.vantreel.desktop.helper";
  fs::copy_file(VT_DAEMON_PATH, copy);
  {
    WatchedProcess daemon("/usr/bin/setpriv",
                          {"--reuid=65534", "--regid=65534", "--clear-groups", copy.string()},
                          {{"VANTREEL_SERVICE_DIR", scratch.string()}}, true);
    EXPECT_EQ(daemon.waitForExit(), 78);
    daemon.waitForLine([](const std::string&) { return false; });  // until end of output
    EXPECT_EQ(daemon.lines(),
              (std::vector<std::string>{
                  Daemon::entry("info", "org.vantreel.desktop.helper 1.0.2 starting"),
                  Daemon::entry("error", "helper must run as root; exiting")}));
    EXPECT_FALSE(fs::exists(scratch / "org.vantreel.desktop.helperd"));
  }
  fs::remove_all(scratch);
}

// Daemons of other services share the copies directory: a starting daemon removes only copies
// whose lock nobody holds, never those of a live daemon, nor those it cannot judge (no lock).
TEST(DaemonRecovery, RemovesOnlyCopiesThatNoLiveDaemonHolds) {
  const fs::path copies = "/var/run/org.vantreel.desktop.helper";
  fs::create_directories(copies);
  const auto named = [&](const std::string& what) {
    return copies / ("openconnect.test" + std::to_string(::getpid()) + what);
  };
  const auto held = named("held");
  const auto freed = named("freed");
  const auto unlocked = named("unlocked");
  for (const auto& directory : {held, freed, unlocked}) {
    fs::create_directory(directory);
  }
  auto lock = platform::posix::lockFile((held / ".lock").string(), true);
  ASSERT_TRUE(lock.has_value());
  std::ofstream((freed / ".lock").string()).put('\n');

  std::string pattern = (fs::temp_directory_path() / "vt-daemon-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path scratch = pattern;
  fs::permissions(scratch, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  {
    Daemon daemon(VT_DAEMON_PATH, {{"VANTREEL_SERVICE_DIR", scratch.string()}});
    // Recovery is done before the daemon listens.
    for (int i = 0; i < 600 && !fs::exists(scratch / "org.vantreel.desktop.helperd"); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(daemon.waitForLine([](const std::string& line) {
      return line.find("recovery: removed ") != std::string::npos;
    }));
    EXPECT_FALSE(fs::exists(freed));
    EXPECT_TRUE(fs::exists(held / ".lock"));
    EXPECT_TRUE(fs::exists(unlocked));
  }
  for (const auto& directory : {held, freed, unlocked, scratch}) {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
  }
}

TEST(DaemonEntry, TheAuditTokenFunctionIsExportedUnmangled) {
  WatchedProcess symbols("/usr/bin/nm", {"-D", "--defined-only", VT_DAEMON_PATH},
                         {{"PATH", "/usr/bin:/bin"}}, false);
  EXPECT_TRUE(symbols.waitForLine(
      [](const std::string& line) { return line.ends_with(" T VTHCopyAuditTokenData"); }));
  EXPECT_EQ(symbols.waitForExit(), 0);
}

}  // namespace
}  // namespace vantreel::testing
