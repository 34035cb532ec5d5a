// The real daemon, run as root on a scratch service directory, driven by test clients that are
// signed inside a test bundle (or unsigned, or signed under another identifier), with the
// scripted OpenConnect stand-in inside that bundle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/codesign/cms_signature.hpp"
#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/embedded_signature.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/codesign/signing_identity.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/process_identity.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/seqpacket_socket.hpp"
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

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// content, then a hole of `hole` bytes, then tail: a sparse file that costs nothing to make.
void writePadded(const fs::path& path, const std::string& content, std::uint64_t hole,
                 const std::string& tail) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.seekp(static_cast<std::streamoff>(content.size() + hole));
    out << tail;
  }
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

// The SHA-256 of content followed by `zeros` zero bytes.
platform::codesign::Sha256::Digest digestOf(const std::string& content, std::uint64_t zeros) {
  platform::codesign::Sha256 hash;
  hash.update(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
  const std::vector<std::uint8_t> block(std::size_t{1} << 20, 0);
  for (; zeros > 0; zeros -= std::min<std::uint64_t>(zeros, block.size())) {
    hash.update(std::span(block).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(zeros, block.size()))));
  }
  return hash.finish();
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
    ASSERT_NO_FATAL_FAILURE(launchDaemon());
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

  // A daemon of this test's service, once it serves.
  void launchDaemon() {
    const auto socket = scratch_ / "org.vantreel.desktop.helperd";
    // An earlier daemon's socket file outlives it; only the new one's means it serves.
    std::error_code ignored;
    fs::remove(socket, ignored);
    daemon_ = std::make_unique<Daemon>(VT_DAEMON_PATH, environment_);
    ASSERT_TRUE(daemon_->waitForEntry("info", "org.vantreel.desktop.helper 1.0.2 starting"));
    for (int i = 0; i < 600 && !fs::exists(socket); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(fs::exists(socket));
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

  // Whether the daemon holds the lock of a copy directory: a start has passed its checks and
  // its copy, and reads (or is about to read) its password.
  bool holdsACopy() const {
    std::error_code error;
    const fs::path fds = "/proc/" + std::to_string(daemon_->pid()) + "/fd";
    for (fs::directory_iterator it(fds, error), end; !error && it != end; it.increment(error)) {
      std::error_code linkError;
      const auto target = fs::read_symlink(it->path(), linkError).string();
      if (target.find("/openconnect.") != std::string::npos && target.ends_with("/.lock")) {
        return true;
      }
    }
    return false;
  }
  bool startIsPreparing() const {
    for (int i = 0; i < 600; ++i) {
      if (holdsACopy()) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
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

TEST_F(DaemonTest, TerminationStopsTheTunnelAndTheOwnerHearsItsEnd) {
  // The owner is not reading while the tunnel prints, so its lines and then the start's reply
  // are still queued in the daemon when it is about to exit: the reply must not be lost with
  // the process.
  const auto user = scenario("term", Scenario()
                                         .exitOnSignal(3)
                                         .out("Connected tun0 as 10.0.0.2")
                                         .sleep(500ms)
                                         .repeat(1000, "more output")
                                         .waitForSignal());
  auto& owner = client(helperctl());
  owner.send("start " + user + " localhost secret");
  ASSERT_TRUE(owner.waitFor("log"));
  ASSERT_EQ(::kill(owner.pid(), SIGSTOP), 0);
  std::this_thread::sleep_for(1500ms);

  ASSERT_EQ(::kill(daemon_->pid(), SIGTERM), 0);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::kill(owner.pid(), SIGCONT), 0);
  EXPECT_EQ(summary(owner.waitFor("start")), "false 3 openconnect exited idle 0");
  const auto status = daemon_->waitForExit();
  std::string said;
  for (const auto& line : daemon_->lines()) {
    said += line + "\n";
  }
  EXPECT_EQ(status, 0) << said;
  EXPECT_TRUE(daemon_->waitForEntry("info", "received SIGTERM; stopping the tunnel and exiting"));
  daemon_.reset();
}

// Only the termination's reply path is raced here: each try ends its daemon with a start waiting
// for its password, at a different moment of that wait.
TEST_F(DaemonTest, TerminationDuringAPasswordWaitStillAnswersTheStart) {
  const auto user = scenario("termwait", Scenario().exit(0));
  for (int attempt = 0; attempt < 12; ++attempt) {
    SCOPED_TRACE(attempt);
    if (!daemon_) {
      ASSERT_NO_FATAL_FAILURE(launchDaemon());
    }
    {
      Client owner(helperctl(), environment_);
      owner.send("startheld " + user + " localhost");
      ASSERT_TRUE(startIsPreparing());
      std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
      const auto signalled = std::chrono::steady_clock::now();
      ASSERT_EQ(::kill(daemon_->pid(), SIGTERM), 0);
      EXPECT_EQ(summary(owner.waitFor("start")), "false 1 the helper is shutting down idle 0");
      // Not after the password's deadline: the end does not wait for the caller.
      EXPECT_LT(std::chrono::steady_clock::now() - signalled, 3s);
      EXPECT_EQ(daemon_->waitForExit(), 0);
    }
    daemon_.reset();
  }
  EXPECT_FALSE(FakeOpenConnect::readRecord(user)) << "an OpenConnect was started";
}

// A start waiting for its password holds only itself: a second start is refused at once, status
// and stop answer at once, and that stop ends the waiting start.
TEST_F(DaemonTest, AStartWaitingForItsPasswordHoldsNobodyUp) {
  const auto held = scenario("pwwait", Scenario().exit(0));
  const auto second = scenario("notqueued", Scenario().exit(0));
  auto& owner = client(helperctl());
  auto& other = client(app());
  owner.send("startheld " + held + " localhost");
  ASSERT_TRUE(startIsPreparing());

  const auto timed = [&](const std::string& command) {
    const auto before = std::chrono::steady_clock::now();
    auto answer = summary(other.call(command));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << command;
    return answer;
  };
  EXPECT_EQ(timed("start " + second + " localhost secret"),
            "false 1 a tunnel is already running idle 0");
  EXPECT_EQ(timed("status"), "true 0  idle 0");
  EXPECT_EQ(timed("stop"), "true 0 stopping stopping 0");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(summary(owner.waitFor("start")),
            "false 1 the start was stopped before OpenConnect launched idle 0");
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_FALSE(FakeOpenConnect::readRecord(held)) << "the stopped start launched OpenConnect";
  EXPECT_FALSE(FakeOpenConnect::readRecord(second)) << "the refused start was queued";
  EXPECT_EQ(summary(other.call("status")), "true 0  idle 0");
}

// A second daemon of the same service must not take the live one's tunnel for one left behind.
TEST_F(DaemonTest, ASecondInstanceLeavesTheFirstsTunnelRunning) {
  const auto user =
      scenario("firstinstance", Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
  auto& owner = client(helperctl());
  owner.send("start " + user + " localhost secret");
  ASSERT_TRUE(owner.waitFor("log"));
  const auto record = FakeOpenConnect::waitForRecord(user);
  ASSERT_TRUE(record);
  {
    Daemon second(VT_DAEMON_PATH, environment_);
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_TRUE(second.waitForEntry("error",
                                    "another instance of the helper serves this service; exiting"));
  }
  EXPECT_EQ(::kill(record->pid, 0), 0) << "the second instance ended the tunnel";
  auto& observer = client(app());
  EXPECT_EQ(summary(observer.call("status")), "true 0  connected " + std::to_string(record->pid));
  EXPECT_EQ(summary(observer.call("stop")),
            "true 0 stopping stopping " + std::to_string(record->pid));
  EXPECT_EQ(summary(owner.waitFor("start")), "true 0 openconnect exited idle 0");
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

TEST_F(DaemonTest, AFrameFromAnotherHolderOfTheSocketEndsTheConnection) {
  // A process makes the socket and forks: the child connects and at once becomes the signed
  // tool, the parent keeps the very same socket. Admission sees the child only when its exec
  // came first, so the parent tries until it gets a welcome.
  const auto path = (scratch_ / "org.vantreel.desktop.helperd").string();
  const std::string tool = helperctl();
  std::vector<std::string> environment;
  for (const auto& [name, value] : environment_) {
    environment.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size());

  for (int attempt = 0; attempt < 60; ++attempt) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const platform::posix::UniqueFd socket(fd);
    auto input = platform::posix::makePipe();
    auto connected = platform::posix::makePipe();
    auto null = platform::posix::openFile("/dev/null", O_WRONLY);
    ASSERT_TRUE(input && connected && null);
    char* const argv[] = {const_cast<char*>(tool.c_str()), nullptr};
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::_exit(126);
      }
      const char one = 1;
      [[maybe_unused]] const auto told = ::write(connected->write.get(), &one, 1);
      ::dup2(input->read.get(), 0);
      ::dup2(null->get(), 1);
      ::dup2(null->get(), 2);
      ::execve(argv[0], argv, envp.data());
      ::_exit(127);
    }
    input->read.reset();
    connected->write.reset();
    std::byte told[1];
    ASSERT_EQ(platform::posix::readSome(connected->read.get(), told).value_or(0), 1U);
    bool welcomed = false;
    if (platform::posix::waitReadable(fd, kBound).value_or(false)) {
      auto first = platform::xpc::seqpacket::receiveDatagram(fd, true);
      welcomed = first && !first->endOfStream && !first->truncated;
    }
    if (welcomed) {
      const auto status =
          platform::xpc::Frame{platform::xpc::Frame::Kind::call, 1,
                               "statusWithReply:", platform::xpc::ArchivedObject::array()}
              .encode();
      ASSERT_TRUE(platform::xpc::seqpacket::sendDatagram(fd, status, {}, false));
      ASSERT_TRUE(platform::posix::waitReadable(fd, kBound).value_or(false));
      auto answer = platform::xpc::seqpacket::receiveDatagram(fd, true);
      ASSERT_TRUE(answer);
      EXPECT_TRUE(answer->endOfStream) << "the unsigned holder of the socket got an answer";
      EXPECT_TRUE(daemon_->waitForEntry(
          "error", "invalidated connection from pid " + std::to_string(child) +
                       ": a message came from pid " + std::to_string(::getpid()) +
                       ", not from pid " + std::to_string(child)));
    }
    input->write.reset();  // the signed tool ends with its standard input
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (welcomed) {
      return;
    }
  }
  GTEST_SKIP() << "the signed tool never won the race to admission";
}

TEST_F(DaemonTest, AClientGoneMidMessageFreesItsSlot) {
  // The start holds the runner for the password deadline, so the piled statuses wait in their
  // handlers while their client has closed every one of them.
  const auto user = scenario("unread", Scenario().exit(0));
  auto& holder = client(helperctl());
  holder.send("startheld " + user + " localhost");
  auto& piler = client(app());
  ASSERT_TRUE(piler.call("pile 63"));
  const auto held = piler.waitFor("hold");
  ASSERT_TRUE(held);
  ASSERT_EQ((*held)["ok"].get<int>(), 63);
  auto& later = client(app());
  EXPECT_EQ(later.call("version")->value("version", ""), "1.0.2");
  EXPECT_EQ(summary(holder.waitFor("start")),
            "false 1 failed to read the secret from the XPC file descriptor idle 0");
  EXPECT_EQ(daemon_->countEntries("error", "refused connection from pid " +
                                               std::to_string(later.clientPid()) +
                                               ": 64 connections are open already"),
            0U);
}

TEST_F(DaemonTest, APaddedCallerDelaysNobodysAdmission) {
  using platform::codesign::EmbeddedSignature;
  const auto signedTool = readAll(helperctl());
  const auto tail = std::string_view(signedTool).substr(signedTool.size() - 24);
  std::uint64_t signatureSize = 0;
  for (int i = 7; i >= 0; --i) {
    signatureSize = (signatureSize << 8) | static_cast<unsigned char>(tail[i]);
  }
  const auto contentSize = signedTool.size() - EmbeddedSignature::kTrailerSize - signatureSize;

  // Signed for real over a hole of 512 MiB: its admission hashes all of it, and must hold up
  // nobody else's. It lies in no bundle, so it is refused once the hashing is done.
  const auto big = scratch_ / "big-client";
  constexpr std::uint64_t kSignedHole = std::uint64_t{512} << 20;
  const auto unsignedClient = readAll(VT_UNSIGNED_CLIENT);
  const auto length = unsignedClient.size() + kSignedHole;
  const auto digest = digestOf(unsignedClient, kSignedHole);
  const std::string dir = VT_IDENTITY_DIR;
  const auto identity = platform::codesign::SigningIdentity::load(dir + "/dev-signing.key",
                                                                  dir + "/dev-signing.pem", "");
  ASSERT_TRUE(identity);
  const auto der = platform::codesign::CmsSignature::sign(
      {"org.vantreel.desktop.helperctl", "elf", {digest.begin(), digest.end()}, length}, *identity);
  ASSERT_TRUE(der);
  const auto trailer = EmbeddedSignature::trailer(der->size());
  writePadded(big, unsignedClient, kSignedHole,
              std::string(der->begin(), der->end()) + std::string(trailer.begin(), trailer.end()));

  const std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
  auto withTarget = [&](const fs::path& target) {
    auto arguments = asNobody;
    arguments.push_back(target.string());
    return arguments;
  };
  const std::string unbundled = "rejected connection: could not resolve the caller's app bundle";
  clients_.push_back(std::make_unique<Client>("/usr/bin/setpriv", environment_, withTarget(big)));
  auto& slow = *clients_.back();
  slow.send("version");
  ASSERT_TRUE(daemon_->waitForEntry(
      "info", "incoming XPC connection from pid " + std::to_string(slow.clientPid())));
  auto& quick = client(helperctl());
  EXPECT_EQ(summary(quick.call("status")), "true 0  idle 0");
  EXPECT_EQ(daemon_->countEntries("error", unbundled), 0U)
      << "the status waited for another caller's admission";
  EXPECT_EQ(daemon_->countEntries("error", unbundled, 1), 1U);

  // A signature copied from the signed tool onto its bytes padded with a hole of 1 TiB: refused
  // on its size alone, before anything is hashed.
  const auto padded = scratch_ / "padded-client";
  writePadded(padded, signedTool.substr(0, contentSize), std::uint64_t{1} << 40,
              signedTool.substr(contentSize));
  clients_.push_back(
      std::make_unique<Client>("/usr/bin/setpriv", environment_, withTarget(padded)));
  auto& copied = *clients_.back();
  EXPECT_TRUE(copied.call("version")->contains("error"));
  EXPECT_TRUE(daemon_->waitForEntry("error",
                                    "rejected connection: caller failed the code-signing "
                                    "requirement"));
}

TEST_F(DaemonTest, AClientThatStopsReadingStallsNeitherTunnelNorDaemon) {
  constexpr long kLines = 200000;
  const auto user = scenario("flood", Scenario().repeat(kLines, "flood line").exit(0));
  auto& owner = client(helperctl());
  owner.send("start " + user + " localhost secret");
  ASSERT_TRUE(owner.waitFor("log"));
  ASSERT_EQ(::kill(owner.pid(), SIGSTOP), 0);  // as Ctrl-Z would
  // The warm-up's tunnel wrote the first such entry.
  const bool exited = daemon_->countEntries("info", "OpenConnect exited rc=0", 2) == 2;
  auto& observer = client(app());
  EXPECT_EQ(summary(observer.call("status")), "true 0  idle 0");
  ASSERT_EQ(::kill(owner.pid(), SIGCONT), 0);
  EXPECT_TRUE(exited) << "OpenConnect was held up by a client that did not read";
  EXPECT_EQ(summary(owner.waitFor("start")), "true 0 openconnect exited idle 0");

  // The notice comes before the reply, so it is there once the reply is.
  long received = 0;
  long dropped = 0;
  int notices = 0;
  for (const auto& line : owner.logLines()) {
    if (line.starts_with("flood line ")) {
      ++received;
    } else if (line.starts_with("dropped ") &&
               line.ends_with(" log lines while the client was not reading")) {
      ++notices;
      dropped += std::stol(line.substr(8));
    }
  }
  EXPECT_EQ(notices, 1);
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(received + dropped, kLines);
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
  const auto masked = named("masked");
  for (const auto& directory : {held, freed, unlocked, masked}) {
    fs::create_directory(directory);
  }
  auto lock = platform::posix::lockFile((held / ".lock").string(), true);
  ASSERT_TRUE(lock.has_value());
  std::ofstream((freed / ".lock").string()).put('\n');
  std::ofstream((masked / ".lock").string()).put('\n');

  // In a mount namespace of its own, a process runs a program of another directory under the
  // path of the stale copy `masked`: the copy is not in use for all its path says.
  std::string otherPattern = (fs::temp_directory_path() / "vt-other-XXXXXX").string();
  ASSERT_NE(::mkdtemp(otherPattern.data()), nullptr);
  const fs::path other = otherPattern;
  fs::copy_file("/bin/sleep", other / "openconnect");
  WatchedProcess impostor("/usr/bin/unshare",
                          {"--mount", "--propagation", "private", "sh", "-c",
                           "mount --bind '" + other.string() + "' '" + masked.string() +
                               "' && exec '" + masked.string() + "/openconnect' 60"},
                          {{"PATH", "/usr/bin:/bin"}}, false);
  const auto runsMasked = [&] {
    const auto executable = platform::posix::processExecutable(impostor.pid());
    return executable && executable->ends_with(masked.filename().string() + "/openconnect");
  };
  for (int i = 0; i < 600 && !runsMasked(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(runsMasked());

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
    EXPECT_FALSE(fs::exists(masked)) << "a path in another mount namespace kept a stale copy";
    EXPECT_TRUE(fs::exists(held / ".lock"));
    EXPECT_TRUE(fs::exists(unlocked));
  }
  impostor.kill();
  for (const auto& directory : {held, freed, unlocked, masked, scratch, other}) {
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
