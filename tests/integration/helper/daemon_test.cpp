// The real daemon, run as root on a scratch service directory, driven by test clients that are
// signed inside a test bundle (or unsigned, or signed under another identifier), with the
// scripted OpenConnect stand-in inside that bundle.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
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

// A hostile local user (nobody) that hands sockets over to the signed tool: a child connects
// and at once becomes the tool, while the user's own process keeps the socket. It runs forked,
// with everything it needs made beforehand, and tells the test over a pipe: 'W' for each socket
// the daemon welcomed, 'A' or 'R' for whether a frame it forged as the tool's got an answer or
// closed the socket, 'D' once its tools have ended (the sockets stay held until the test goes),
// 'N' when no namespaces of its own can be had, and 'E' when it is done.
class HostileUser {
 public:
  struct Plan {
    std::string socketPath;
    std::string tool;
    std::vector<std::string> environment;
    int sockets = 1;    // welcomed sockets to gather
    int attempts = 60;  // hand-offs tried at most
    // In pid and user namespaces of its own, where it may put any of its pids on a frame.
    bool forgeInNamespaces = false;
  };

  explicit HostileUser(Plan plan) : plan_(std::move(plan)) {
    envp_.reserve(plan_.environment.size() + 1);
    for (auto& entry : plan_.environment) {
      envp_.push_back(entry.data());
    }
    envp_.push_back(nullptr);
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, plan_.socketPath.c_str(), plan_.socketPath.size());
    status_ = platform::xpc::Frame{platform::xpc::Frame::Kind::call, 1,
                                   "statusWithReply:", platform::xpc::ArchivedObject::array()}
                  .encode();
    auto reports = platform::posix::makePipe();
    auto control = platform::posix::makePipe();
    if (!reports || !control) {
      ADD_FAILURE() << "pipes for the hostile user";
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      reports->read.reset();
      control->write.reset();
      act(reports->write.get(), control->read.get());
    }
    reports_ = std::move(reports->read);
    control_ = std::move(control->write);
  }
  ~HostileUser() {
    control_.reset();
    if (pid_ > 0) {
      int status = 0;
      (void)::waitpid(pid_, &status, 0);
    }
  }
  HostileUser(const HostileUser&) = delete;
  HostileUser& operator=(const HostileUser&) = delete;

  // Reports up to and including `until`, or all there are by the bound.
  std::string reportsUntil(char until) {
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (seen.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (!platform::posix::waitReadable(reports_.get(), 1s).value_or(false)) {
        continue;
      }
      std::byte got[1];
      if (platform::posix::readSome(reports_.get(), got).value_or(0) != 1) {
        break;
      }
      seen.push_back(static_cast<char>(got[0]));
    }
    return seen;
  }

 private:
  static void tell(int fd, char what) { [[maybe_unused]] const auto n = ::write(fd, &what, 1); }

  [[noreturn]] void act(int reports, int control) {
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0 ||
        // As a process nobody started would be: it may then write its own namespace maps.
        ::prctl(PR_SET_DUMPABLE, 1) != 0) {
      ::_exit(1);
    }
    if (plan_.forgeInNamespaces) {
      if (::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0 || !map("/proc/self/uid_map") ||
          !write("/proc/self/setgroups", "deny") || !map("/proc/self/gid_map")) {
        tell(reports, 'N');
        tell(reports, 'E');
        ::_exit(0);
      }
      // The first child is the new pid namespace's first process.
      const pid_t inside = ::fork();
      if (inside != 0) {
        int status = 0;
        (void)::waitpid(inside, &status, 0);
        ::_exit(0);
      }
    }
    handOff(reports, control);
  }

  static bool write(const char* path, const char* text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const auto length = static_cast<ssize_t>(std::strlen(text));
    const bool written = fd >= 0 && ::write(fd, text, std::strlen(text)) == length;
    if (fd >= 0) {
      ::close(fd);
    }
    return written;
  }
  static bool map(const char* path) { return write(path, "0 65534 1"); }

  [[noreturn]] void handOff(int reports, int control) {
    constexpr int kMost = 128;
    pid_t tools[kMost];
    int toolInputs[kMost];
    int count = 0;
    char* const argv[] = {const_cast<char*>(plan_.tool.c_str()), nullptr};
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (int attempt = 0; attempt < plan_.attempts && count < plan_.sockets && count < kMost;
         ++attempt) {
      const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      int input[2];
      int connected[2];
      if (fd < 0 || ::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(connected, O_CLOEXEC) != 0) {
        break;
      }
      const pid_t tool = ::fork();
      if (tool == 0) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0) {
          ::_exit(126);
        }
        tell(connected[1], 1);
        ::dup2(input[0], 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execve(argv[0], argv, envp_.data());
        ::_exit(127);
      }
      ::close(input[0]);
      ::close(connected[1]);
      char told = 0;
      const bool reached = ::read(connected[0], &told, 1) == 1;
      ::close(connected[0]);
      pollfd entry{fd, POLLIN, 0};
      char first[256];
      const bool welcomed = reached && ::poll(&entry, 1, 20000) == 1 &&
                            ::recv(fd, first, sizeof first, MSG_DONTWAIT) > 0;
      if (!welcomed) {
        ::close(fd);
        ::close(input[1]);
        int status = 0;
        (void)::waitpid(tool, &status, 0);
        continue;
      }
      tell(reports, 'W');
      if (plan_.forgeInNamespaces) {
        tell(reports, forgeStatus(fd, tool) ? 'A' : 'R');
      }
      // fd stays open: the socket is held for as long as this process lives.
      tools[count] = tool;
      toolInputs[count] = input[1];
      ++count;
    }
    for (int i = 0; i < count; ++i) {
      ::close(toolInputs[i]);  // the tool ends with its standard input
      int status = 0;
      (void)::waitpid(tools[i], &status, 0);
    }
    tell(reports, 'D');
    tell(reports, 'E');
    char ignored = 0;
    while (::read(control, &ignored, 1) > 0) {
    }
    ::_exit(0);
  }

  // A status call whose credentials name the tool, as a process that owns its pid namespace's
  // user namespace may claim; whether the daemon answered it.
  bool forgeStatus(int fd, pid_t tool) {
    iovec part{status_.data(), status_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_CREDENTIALS;
    header->cmsg_len = CMSG_LEN(sizeof(ucred));
    const ucred claimed{tool, ::getuid(), ::getgid()};
    std::memcpy(CMSG_DATA(header), &claimed, sizeof claimed);
    if (::sendmsg(fd, &message, MSG_NOSIGNAL) < 0) {
      return false;
    }
    pollfd entry{fd, POLLIN, 0};
    char answer[4096];
    return ::poll(&entry, 1, 20000) == 1 && ::recv(fd, answer, sizeof answer, MSG_DONTWAIT) > 0;
  }

  Plan plan_;
  std::vector<char*> envp_;
  sockaddr_un address_{};
  std::vector<std::uint8_t> status_;
  pid_t pid_ = -1;
  platform::posix::UniqueFd reports_;
  platform::posix::UniqueFd control_;
};

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

  std::string socketPath() const { return (scratch_ / "org.vantreel.desktop.helperd").string(); }
  std::vector<std::string> environmentList() const {
    std::vector<std::string> list;
    list.reserve(environment_.size());
    for (const auto& [name, value] : environment_) {
      list.push_back(name);
      list.back().append("=").append(value);
    }
    return list;
  }

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

  // A reply that comes while the tunnel runs has no event to wait for: this is how long it is
  // given to show up.
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
  const auto record = FakeOpenConnect::waitForRecord(user);
  ASSERT_TRUE(record);
  // Every line printed and taken from OpenConnect's pipe: they wait in the daemon's queue.
  ASSERT_TRUE(waitUntil([&] {
    return blockedIn(record->pid, SYS_rt_sigsuspend) && unreadBytes(record->pid, 1) == 0;
  }));

  ASSERT_EQ(::kill(daemon_->pid(), SIGTERM), 0);
  // The tunnel has ended and its reply is queued behind the lines: the daemon is about to exit.
  ASSERT_TRUE(daemon_->waitForEntry("info", "OpenConnect exited rc=3"));
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
      // The moment within the wait is what each try varies.
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
// shows whose start waits and since when, stop answers at once and ends the waiting start.
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
            "false 1 a tunnel is already running authenticating 0");
  const auto status = timed("status");
  EXPECT_TRUE(status.starts_with("true 0 a start by uid " + std::to_string(::getuid()) +
                                 " is under way since 20"))
      << status;
  EXPECT_TRUE(status.ends_with("Z authenticating 0")) << status;
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
  const auto withIntruder = descriptors();
  intruder.call("close");
  // The daemon lets go of a connection's socket only once its end has been handled.
  ASSERT_TRUE(waitUntil([&] { return descriptors() < withIntruder; }));
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
  // owner of a tunnel that has ended, goes away meanwhile. The ended tunnel's copy goes first,
  // so that the copy held next is the later start's.
  ASSERT_TRUE(waitUntil([&] { return !holdsACopy(); }));
  owner.send("startheld " + later + " localhost");
  ASSERT_TRUE(startIsPreparing());
  const auto withEarlier = descriptors();
  earlier.call("close");
  // The daemon lets go of a connection's socket only once its end has been handled.
  ASSERT_TRUE(waitUntil([&] { return descriptors() < withEarlier; }));
  owner.call("feed secret");
  ASSERT_TRUE(owner.waitFor("log"));
  const auto record = FakeOpenConnect::waitForRecord(later);
  ASSERT_TRUE(record);
  // A stop the earlier connection's end wrongly left behind has no event to wait for: this is
  // how long it is given to reach the later tunnel.
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
  // A flood of refusals is one entry and then a count, not one entry each.
  const auto flood = holder.call("hold 20");
  ASSERT_TRUE(flood);
  EXPECT_EQ((*flood)["failed"].get<int>(), 20);
  ASSERT_TRUE(daemon_->waitForLine([](const std::string& line) {
    return line.find("error org.vantreel.desktop.helper[helper]: refused ") == 0 &&
           line.find(" more connections (the last from pid ") != std::string::npos;
  }));
  std::size_t full = 0;
  std::size_t counted = 0;
  for (const auto& line : daemon_->lines()) {
    if (line.find(": 64 connections are open already") == std::string::npos) {
      continue;
    }
    if (const auto more = line.find(": refused ");
        more != std::string::npos && line.find(" more connections", more) != std::string::npos) {
      counted += std::stoul(line.substr(more + 10));
    } else {
      ++full;
    }
  }
  EXPECT_LE(full, 2U) << "each refusal of the flood was an entry of its own";
  EXPECT_EQ(full + counted, 21U);
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
  auto environment = environmentList();
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
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

TEST_F(DaemonTest, HandedOffSocketsHoldNoSlotOnceTheirToolsHaveEnded) {
  // As nobody: sockets handed over to the signed tool, kept after the tools have ended.
  const auto before = std::make_pair(threads(), descriptors());
  // The build tree may lie below a directory that only root can enter: nobody runs a copy.
  const auto copy = scratch_ / "Hostile.app";
  fs::copy(kBundle, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  HostileUser user({socketPath(), (copy / "Contents/MacOS/vantreel-helperctl").string(),
                    environmentList(), 64, 256, false});
  const auto reports = user.reportsUntil('E');
  ASSERT_NE(reports.find('D'), std::string::npos) << reports;
  const auto welcomed = std::count(reports.begin(), reports.end(), 'W');
  EXPECT_GT(welcomed, 0) << "the signed tool never won the race to admission";
  EXPECT_LE(welcomed, 8) << "one user held more than its share of the connections";
  auto held = std::make_pair(threads(), descriptors());
  for (int i = 0; i < 100 && held != before; ++i) {
    std::this_thread::sleep_for(50ms);
    held = {threads(), descriptors()};
  }
  EXPECT_EQ(held, before) << "connections of tools that have ended still hold threads and fds";

  auto& other = client(app());
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(summary(other.call("status")), "true 0  idle 0");
  const auto latency = std::chrono::steady_clock::now() - asked;
  EXPECT_LT(latency, 1s);
  std::cout << "[figures] welcomed " << welcomed << ", threads " << before.first << " -> "
            << held.first << ", fds " << before.second << " -> " << held.second
            << ", another user's status in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(latency).count() << " ms\n";
}

TEST_F(DaemonTest, AFrameForgedFromNamespacesOfItsOwnIsNeverAnswered) {
  // unshare -Urp as nobody: a process that owns its pid namespace's user namespace may put the
  // tool's pid on its own frames, and the kernel then attaches a pidfd of the tool as well.
  // The build tree may lie below a directory that only root can enter: nobody runs a copy.
  const auto copy = scratch_ / "Hostile.app";
  fs::copy(kBundle, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  HostileUser user({socketPath(), (copy / "Contents/MacOS/vantreel-helperctl").string(),
                    environmentList(), 1, 60, true});
  const auto reports = user.reportsUntil('E');
  if (reports.find('N') != std::string::npos) {
    GTEST_SKIP() << "unprivileged user namespaces are off on this machine";
  }
  EXPECT_EQ(reports.find('A'), std::string::npos) << "a forged frame was answered: " << reports;
  EXPECT_TRUE(daemon_->waitForLine([](const std::string& line) {
    return line.find(": it runs in another pid or user namespace") != std::string::npos;
  }));
}

TEST_F(DaemonTest, RunningOutOfDescriptorsPausesAcceptingOnly) {
  const pid_t daemon = daemon_->pid();
  rlimit original{};
  ASSERT_EQ(::prlimit(daemon, RLIMIT_NOFILE, nullptr, &original), 0);
  // As `prlimit --nofile` would: not one descriptor more than the daemon holds now.
  const rlimit tight{descriptors(), original.rlim_max};
  ASSERT_EQ(::prlimit(daemon, RLIMIT_NOFILE, &tight, nullptr), 0);
  for (int i = 0; i < 3; ++i) {
    auto& refused = client(app());
    EXPECT_TRUE(refused.call("version")->contains("error"));
  }
  ASSERT_EQ(::prlimit(daemon, RLIMIT_NOFILE, &original, nullptr), 0);
  auto& later = client(app());
  EXPECT_EQ(summary(later.call("status")), "true 0  idle 0");
  std::size_t told = 0;
  for (const auto& line : daemon_->lines()) {
    told += line.find("Too many open files") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(told, 1U);
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

TEST_F(DaemonTest, ClientsGoneMidMessageHoldBoundedThreads) {
  // As above, three times over: each connection keeps its thread until its status returns.
  const auto user = scenario("bounded", Scenario().exit(0));
  auto& holder = client(helperctl());
  holder.send("startheld " + user + " localhost");
  auto& piler = client(app());
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(piler.call("pile 63"));
  }
  const auto held = threads();
  EXPECT_LE(held, baseline_.first + 2 * 64 + 2) << "threads of clients that have gone";
  std::cout << "[figures] threads with 189 clients gone mid-call: " << held << "\n";
  EXPECT_EQ(summary(holder.waitFor("start")),
            "false 1 failed to read the secret from the XPC file descriptor idle 0");
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

TEST_F(DaemonTest, CallersThatWouldCostAHashAreRefusedUnreadWhileStatusAnswers) {
  using platform::codesign::EmbeddedSignature;
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  const std::string dir = VT_IDENTITY_DIR;
  const auto ownCA = platform::codesign::SigningIdentity::load(dir + "/foreign-signing.key",
                                                               dir + "/foreign-signing.pem", "");
  ASSERT_TRUE(ownCA);
  const auto unsignedClient = readAll(VT_UNSIGNED_CLIENT);
  // The caller's own program signed by a CA of its own, with the right identifier and team,
  // claiming every byte up to the signature; the digest is never reached, so it is not right.
  const auto selfSigned = [&](const std::string& name, std::uint64_t hole) {
    const auto der = platform::codesign::CmsSignature::sign(
        {"org.vantreel.desktop.helperctl", "elf", std::vector<std::uint8_t>(32, 0xab),
         unsignedClient.size() + hole},
        *ownCA);
    EXPECT_TRUE(der);
    const auto trailer = EmbeddedSignature::trailer(der ? der->size() : 0);
    const auto path = scratch_ / name;
    writePadded(path, unsignedClient, hole,
                (der ? std::string(der->begin(), der->end()) : std::string()) +
                    std::string(trailer.begin(), trailer.end()));
    return path;
  };
  // A copy of the app, which admits its control tool by design, with one sparse file added.
  const auto copiedApp = [&](const std::string& name, std::uint64_t hole) {
    const auto copy = scratch_ / (name + ".app");
    fs::copy(kBundle, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    writePadded(copy / "Contents/Resources/big", "", hole, "x");
    return copy / "Contents/MacOS/vantreel-helperctl";
  };
  const auto daemonCpu = [&] {
    clockid_t clock{};
    timespec now{};
    if (::clock_getcpuclockid(daemon_->pid(), &clock) != 0 || ::clock_gettime(clock, &now) != 0) {
      ADD_FAILURE() << "cpu clock of the daemon";
    }
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  };
  const std::string requirementFailed =
      "rejected connection: caller failed the code-signing requirement";
  const auto user = scenario("copied", Scenario().exit(0));
  struct Attack {
    std::string what;
    fs::path program;
    std::string command;
    bool admitted;
  };
  const std::vector<Attack> attacks = {
      {"self-signed, 1 GiB", selfSigned("self-1g", kGiB), "version", false},
      {"copied app, 1 GiB", copiedApp("Copy1", kGiB), "start " + user + " localhost secret", true},
      {"self-signed, 64 GiB", selfSigned("self-64g", 64 * kGiB), "version", false},
      {"copied app, 32 GiB", copiedApp("Copy32", 32 * kGiB), "start " + user + " localhost secret",
       true},
  };
  // Sanitized daemons run their own code several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kSlowdown = 5;
#else
  constexpr int kSlowdown = 1;
#endif

  // One at a time, so that each one's cost to the daemon can be told apart.
  std::size_t refusedAtAdmission = 0;
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack.what);
    const auto cpuBefore = daemonCpu();
    clients_.push_back(std::make_unique<Client>(
        "/usr/bin/setpriv", environment_,
        std::vector<std::string>{"--reuid=65534", "--regid=65534", "--clear-groups",
                                 attack.program.string()}));
    auto& attacker = *clients_.back();
    const auto sent = std::chrono::steady_clock::now();
    const auto reply = attacker.call(attack.command);
    const auto took = std::chrono::steady_clock::now() - sent;
    if (attack.admitted) {
      EXPECT_EQ(summary(reply),
                "false 1 bundled OpenConnect is not inside the signed Vantreel app idle 0");
    } else {
      ASSERT_TRUE(reply);
      EXPECT_TRUE(reply->contains("error"));
      EXPECT_EQ(daemon_->countEntries("error", requirementFailed, ++refusedAtAdmission),
                refusedAtAdmission);
    }
    const auto spent = daemonCpu() - cpuBefore;
    std::cout << attack.what << ": refused after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms, "
              << std::chrono::duration_cast<std::chrono::microseconds>(spent).count()
              << " us of daemon CPU\n";
    EXPECT_LT(took, 2s);
    // A refused caller's own admission, and for a start the admitted tool's checks as well:
    // far below what hashing a single GiB costs, with room for a loaded machine.
    EXPECT_LT(spent, (attack.admitted ? 150ms : 60ms) * kSlowdown);
  }

  // All at once, three times over, while a signed caller asks for the status.
  auto& observer = client(helperctl());
  std::vector<Client*> attackers;
  std::chrono::steady_clock::duration slowest{};
  for (int round = 0; round < 3; ++round) {
    for (const auto& attack : attacks) {
      clients_.push_back(std::make_unique<Client>(
          "/usr/bin/setpriv", environment_,
          std::vector<std::string>{"--reuid=65534", "--regid=65534", "--clear-groups",
                                   attack.program.string()}));
      clients_.back()->send(attack.command);
      attackers.push_back(clients_.back().get());
    }
    for (int i = 0; i < 5; ++i) {
      const auto asked = std::chrono::steady_clock::now();
      // An attacker's start shows while it is claimed, until its checks refuse it.
      const auto status = summary(observer.call("status"));
      EXPECT_TRUE(status == "true 0  idle 0" ||
                  (status.starts_with("true 0 a start by uid 65534") &&
                   status.ends_with(" authenticating 0")))
          << status;
      slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
    }
  }
  std::cout << "slowest status under attack: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms\n";
  EXPECT_LT(slowest, 1s);
  for (std::size_t i = 0; i < attackers.size(); ++i) {
    const auto& attack = attacks[i % attacks.size()];
    const auto reply = attackers[i]->waitFor(attack.command.substr(0, attack.command.find(' ')));
    ASSERT_TRUE(reply) << attack.what;
    // One user holds only a share of the slots: beyond it even a copied app is refused.
    if (!attack.admitted) {
      EXPECT_TRUE(reply->contains("error")) << attack.what;
    }
  }
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
