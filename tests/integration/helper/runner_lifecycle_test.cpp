#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <future>
#include <span>

#include "platform/posix/io.hpp"
#include "shared/argument_validation.hpp"
#include "tests/integration/helper/runner_test_support.hpp"

namespace vantreel::testing {
namespace {

using Scenario = FakeOpenConnect::Scenario;

fs::path copyDirectoryOf(const FakeOpenConnect::Record& record) {
  return fs::path(record.arguments.at(0)).parent_path();
}

// Children of any thread of this process, zombies included.
std::vector<pid_t> childrenOfThisProcess() {
  std::vector<pid_t> children;
  std::error_code error;
  for (fs::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    std::ifstream in(it->path() / "children");
    for (pid_t child = 0; in >> child;) {
      children.push_back(child);
    }
  }
  return children;
}

class RunnerLifecycle : public RunnerFixture {};

TEST_F(RunnerLifecycle, ChildGetsExactArgumentsAndEnvironmentAndRunsFromVerifiedCopies) {
  struct Case {
    std::string user;
    std::optional<std::string> pin;
    bool roots;
  };
  const std::string pin = "pin-sha256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  for (const auto& [user, withPin, roots] :
       {Case{"runner.args8", std::nullopt, false}, Case{"runner.args10", std::nullopt, true},
        Case{"runner.pinned", pin, false}, Case{"runner.pinned.roots", pin, true}}) {
    SCOPED_TRACE(user);
    environment.certificateSource.file =
        (scratch.path() / (roots ? "roots.pem" : "absent.pem")).string();
    auto runnerUnderTest = OpenConnectRunner::create(environment);
    scenario(user, Scenario().out("hello").waitForSignal());
    auto pipe = PasswordPipe::with("hunter2\n");
    auto seen = std::make_shared<Observed>();
    ASSERT_TRUE(runnerUnderTest
                    ->start(HelperStartRequest(" https://localhost:8443/grp/ ", user, withPin),
                            *pipe.reading, bundle.path().string(), seen->exitCallback(),
                            seen->logHandler())
                    .has_value());
    const auto record = FakeOpenConnect::waitForRecord(user);
    ASSERT_TRUE(record.has_value());
    const fs::path copies = copyDirectoryOf(*record);
    EXPECT_EQ(copies.parent_path(), scratch.path() / "copies");
    EXPECT_NE(copies.string().find("openconnect."), std::string::npos);

    std::vector<std::string> expected = {(copies / "openconnect").string(),
                                         "--protocol=anyconnect",
                                         "--user",
                                         user,
                                         "--passwd-on-stdin",
                                         "--non-inter",
                                         "--script",
                                         (copies / "vpnc-script").string()};
    if (withPin) {
      expected.insert(expected.end(), {"--servercert", *withPin, "--no-system-trust"});
    } else if (roots) {
      expected.insert(expected.end(),
                      {"--cafile", (scratch.path() / "export/system-roots.pem").string()});
    }
    expected.emplace_back("localhost:8443/grp");
    EXPECT_EQ(record->arguments, expected);
    EXPECT_EQ(record->arguments.size() - 1, withPin ? 11U : (roots ? 10U : 8U));

    std::vector<std::string> environmentSeen = record->environment;
    std::sort(environmentSeen.begin(), environmentSeen.end());
    EXPECT_EQ(environmentSeen,
              (std::vector<std::string>{
                  "DYLD_LIBRARY_PATH=" + (copies / "lib").string(), "LANG=en_US.UTF-8",
                  "PATH=" + copies.string() + ":/usr/bin:/bin:/usr/sbin:/sbin"}));
    EXPECT_EQ(record->standardInput, "hunter2\n");

    // The copies are root's alone, byte for byte the bundle's, and are what the child runs.
    struct stat info {};
    ASSERT_EQ(::stat(copies.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700U);
    EXPECT_EQ(info.st_uid, 0U);
    EXPECT_EQ(readFile(copies / "vpnc-script"), readFile(bundle.script()));
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(record->pid) + "/exe"),
              copies / "openconnect");
    EXPECT_EQ(runnerUnderTest->currentPid(), record->pid);

    ASSERT_TRUE(runnerUnderTest->stop().has_value());
    ASSERT_TRUE(seen->waitForExit().has_value());
    EXPECT_TRUE(eventually([&] { return !fs::exists(copies); })) << "copies outlive the child";
  }
}

TEST_F(RunnerLifecycle, PasswordReachesChildAsOneLineThenEndOfFile) {
  struct Case {
    std::string name;
    std::string written;
    std::string received;
  };
  const std::string longPassword(9000, 'a');
  const std::vector<Case> cases = {
      {"following-text", "s3cret\nsecond line\n", "s3cret\n"},
      {"no-line-feed", "s3cret", "s3cret\n"},
      {"blanks-and-cr-kept", " s3 cret \r\nx", " s3 cret \r\n"},
      {"over-8192-bytes", longPassword, std::string(8192, 'a') + "\n"},
      {"non-ascii", "p\xC3\xA4sswort", "p\xC3\xA4sswort\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto user = scenario("runner.pw." + c.name, Scenario().exit(0));
    ASSERT_TRUE(start(user, c.written).has_value());
    const auto record = FakeOpenConnect::waitForRecord(user);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->standardInput, c.received);
    ASSERT_TRUE(observed->waitForExit().has_value());
    ASSERT_TRUE(eventually([this] { return runner().currentPid() == 0; }));
    observed = std::make_shared<Observed>();
  }
}

TEST_F(RunnerLifecycle, UnusablePasswordFailsTheStartAndStartsNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""}, {"first-byte-line-feed", "\nsecret\n"}, {"not-utf8", "pa\xFF\xFEss\n"}};
  for (const auto& [name, written] : cases) {
    SCOPED_TRACE(name);
    const auto user = scenario("runner.badpw." + name, Scenario().exit(0));
    const auto started = start(user, written);
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().errorDescription(),
              "failed to read the secret from the XPC file descriptor");
    EXPECT_EQ(runner().currentState(), "idle");
    EXPECT_EQ(runner().currentPid(), 0);
    EXPECT_FALSE(FakeOpenConnect::readRecord(user).has_value());
    EXPECT_EQ(copiesLeft(), 0U);
  }
}

TEST_F(RunnerLifecycle, PasswordPipeHeldOpenIsCutOffAtTheDeadline) {
  environment.passwordDeadline = 1s;
  const auto user = scenario("runner.heldopen", Scenario().exit(0));
  auto pipe = PasswordPipe::with("secret-without-end", true);
  const auto before = std::chrono::steady_clock::now();
  const auto started =
      runner().start(HelperStartRequest("localhost", user, std::nullopt), *pipe.reading,
                     bundle.path().string(), observed->exitCallback(), observed->logHandler());
  const auto took = std::chrono::steady_clock::now() - before;
  ASSERT_FALSE(started.has_value());
  EXPECT_EQ(started.error(), RunnerError::passwordReadFailed());
  EXPECT_GE(took, 900ms);
  EXPECT_EQ(runner().currentState(), "idle");
  EXPECT_FALSE(FakeOpenConnect::readRecord(user).has_value());
}

// The caller keeps a write end and a thread of its own reading the pipe, and feeds it a byte at
// a time: the byte it steals after the runner saw the pipe readable must not leave the runner
// waiting past the deadline.
TEST_F(RunnerLifecycle, PasswordDeadlineHoldsAgainstACompetingReader) {
  // Each attempt is a race the old way of reading lost only now and then.
  environment.passwordDeadline = 250ms;
  const auto user = scenario("runner.thief", Scenario().exit(0));
  for (int attempt = 0; attempt < 30; ++attempt) {
    SCOPED_TRACE(attempt);
    auto pipe = PasswordPipe::with("", true);
    const int writeEnd = pipe.writing->fileDescriptor();
    std::atomic<bool> feeding{true};
    std::jthread thief([&pipe] {
      std::byte stolen[1];
      while (platform::posix::readSome(pipe.reading->fileDescriptor(), stolen).value_or(0) > 0) {
      }
    });
    std::jthread feeder([&] {
      const std::byte one{'x'};
      // Stops well before the deadline, so that a read left waiting then waits for good.
      for (int i = 0; i < 80 && feeding; ++i) {
        (void)platform::posix::writeAll(writeEnd, std::span(&one, 1));
        std::this_thread::sleep_for(1ms);
      }
    });
    auto started = std::async(std::launch::async, [&] {
      return runner().start(HelperStartRequest("localhost", user, std::nullopt), *pipe.reading,
                            bundle.path().string(), observed->exitCallback(),
                            observed->logHandler());
    });
    const bool returned = started.wait_for(kBound) == std::future_status::ready;
    feeding = false;
    feeder.join();
    EXPECT_TRUE(returned) << "the start outlasted its password deadline";
    (void)pipe.writing->close();  // ends a wedged read and the thief
    thief.join();
    const auto result = started.get();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), RunnerError::passwordReadFailed());
    if (!returned) {
      break;
    }
  }
  EXPECT_FALSE(FakeOpenConnect::readRecord(user).has_value());

  // Only a pipe is read: the null device, for instance, would yield a password of NUL bytes.
  auto zero = platform::posix::openFile("/dev/zero", O_RDONLY);
  ASSERT_TRUE(zero);
  platform::process::FileHandle device(std::move(*zero));
  const auto refused =
      runner().start(HelperStartRequest("localhost", user, std::nullopt), device,
                     bundle.path().string(), observed->exitCallback(), observed->logHandler());
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), RunnerError::passwordReadFailed());
  EXPECT_FALSE(FakeOpenConnect::readRecord(user).has_value());
}

// The runner reads through a description it opens with its own rights, so anything but the
// read end of an anonymous pipe could make it read, for the caller's server, a FIFO that the
// caller may not read. Each is refused before a byte is taken from it.
TEST_F(RunnerLifecycle, OnlyTheReadEndOfAnAnonymousPipeIsReadForThePassword) {
  environment.passwordDeadline = 300ms;
  const auto user = scenario("runner.notapipe", Scenario().exit(0));
  const fs::path fifo = scratch.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Ends {
    platform::posix::UniqueFd reading;  // the test's own, to see what was left
    platform::posix::UniqueFd writing;  // held open: no end of file ends the read early
  };
  const auto namedFifo = [&] {
    Ends ends;
    ends.reading = platform::posix::openFile(fifo, O_RDONLY | O_NONBLOCK).value();
    ends.writing = platform::posix::openFile(fifo, O_WRONLY).value();
    return ends;
  };
  const auto anonymousPipe = [] {
    auto made = platform::posix::makePipe().value();
    EXPECT_EQ(::fcntl(made.read.get(), F_SETFL, O_NONBLOCK), 0);
    return Ends{std::move(made.read), std::move(made.write)};
  };
  const auto reopened = [](int fd, int flags) {
    return platform::posix::openFile("/proc/self/fd/" + std::to_string(fd), flags).value();
  };
  const std::vector<std::pair<std::string, std::function<platform::posix::UniqueFd(Ends&)>>> cases =
      {
          {"named-fifo-path-only",
           [&](Ends&) { return platform::posix::openFile(fifo, O_PATH).value(); }},
          {"named-fifo-write-only",
           [&](Ends&) { return platform::posix::openFile(fifo, O_WRONLY).value(); }},
          {"named-fifo-read-end",
           [&](Ends&) { return platform::posix::openFile(fifo, O_RDONLY | O_NONBLOCK).value(); }},
          {"pipe-write-end",
           [](Ends& ends) { return platform::posix::duplicate(ends.writing.get()).value(); }},
          {"pipe-path-only", [&](Ends& ends) { return reopened(ends.reading.get(), O_PATH); }},
      };
  for (const auto& [name, handOver] : cases) {
    SCOPED_TRACE(name);
    auto ends = name.starts_with("named") ? namedFifo() : anonymousPipe();
    const std::string secret = "secret\n";
    ASSERT_TRUE(platform::posix::writeAll(ends.writing.get(), std::as_bytes(std::span(secret))));
    platform::process::FileHandle handed(handOver(ends));
    const auto started =
        runner().start(HelperStartRequest("localhost", user, std::nullopt), handed,
                       bundle.path().string(), observed->exitCallback(), observed->logHandler());
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error(), RunnerError::passwordReadFailed());
    std::array<std::byte, 64> left{};
    const auto got = platform::posix::readSome(ends.reading.get(), left);
    EXPECT_EQ(got.value_or(0), secret.size()) << "the password was read";
  }
  EXPECT_FALSE(FakeOpenConnect::readRecord(user).has_value());
}

// The cookie start goes through the password start's steps: its request is checked field by
// field, its cookie comes from the read end of an anonymous pipe only, and OpenConnect gets
// the cookie on its standard input and no user, password or cookie in its arguments.
TEST_F(RunnerLifecycle, CookieStartIsCheckedLikeAPasswordStartAndPinsTheSignIn) {
  environment.passwordDeadline = 300ms;
  const std::string pin = "pin-sha256:" + std::string(43, 'Q') + "=";
  const std::string sha1(40, 'a');
  const fs::path fifo = scratch.path() / "cookie.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  enum class Pipe { anonymous, writeEnd, namedFifo };
  struct Case {
    std::string name;  // also the path segment that picks the fake's scenario
    std::string url;
    std::string servercert;
    std::optional<std::string> resolve;
    std::string written;
    Pipe pipe;
    std::string failure;  // empty: the start succeeds
  };
  const std::string kFingerprint =
      "servercert must be the fingerprint the sign-in printed (pin-sha256:... or SHA-1 hex)";
  const std::string kResolve =
      "resolve must be host:address with the connect URL's host and a literal address";
  const std::string kCookie = std::string(ArgumentValidation::cookieInvalid);
  const std::string kPipe = "failed to read the secret from the XPC file descriptor";
  const auto url = [](const std::string& name) { return "https://localhost:8443/grp/" + name; };
  const std::vector<Case> cases = {
      {"cookie.good", url("cookie.good"), pin, "localhost:127.0.0.1", "webvpn=3A7F@B2;x y\n",
       Pipe::anonymous, ""},
      {"cookie.sha1", url("cookie.sha1"), sha1, std::nullopt, std::string(4096, 'c') + "\nnext",
       Pipe::anonymous, ""},
      {"cookie.ipv6", url("cookie.ipv6"), "sha1:" + sha1, "LOCALHOST:::1", "c\n", Pipe::anonymous,
       ""},
      {"cookie.http", "http://localhost/cookie.http", pin, std::nullopt, "c\n", Pipe::anonymous,
       "connect URL is not a valid https URL"},
      {"cookie.meta", url("cookie.meta;x"), pin, std::nullopt, "c\n", Pipe::anonymous,
       "connect URL failed allow-list checks"},
      {"cookie.nopin", url("cookie.nopin"), "", std::nullopt, "c\n", Pipe::anonymous, kFingerprint},
      {"cookie.shortpin", url("cookie.shortpin"), "pin-sha256:AAAA", std::nullopt, "c\n",
       Pipe::anonymous, kFingerprint},
      {"cookie.pinline", url("cookie.pinline"), sha1 + "\n", std::nullopt, "c\n", Pipe::anonymous,
       kFingerprint},
      {"cookie.otherhost", url("cookie.otherhost"), pin, "evil.example:127.0.0.1", "c\n",
       Pipe::anonymous, kResolve},
      {"cookie.name", url("cookie.name"), pin, "localhost:evil.example", "c\n", Pipe::anonymous,
       kResolve},
      {"cookie.noaddress", url("cookie.noaddress"), pin, "localhost", "c\n", Pipe::anonymous,
       kResolve},
      {"cookie.badquad", url("cookie.badquad"), pin, "localhost:127.0.0.256", "c\n",
       Pipe::anonymous, kResolve},
      {"cookie.empty", url("cookie.empty"), pin, std::nullopt, "\nc\n", Pipe::anonymous, kPipe},
      {"cookie.long", url("cookie.long"), pin, std::nullopt, std::string(4097, 'c') + "\n",
       Pipe::anonymous, kCookie},
      {"cookie.control", url("cookie.control"), pin, std::nullopt, "c\x1b[2Jc\n", Pipe::anonymous,
       kCookie},
      {"cookie.cr", url("cookie.cr"), pin, std::nullopt, "c\r\n", Pipe::anonymous, kCookie},
      {"cookie.utf8", url("cookie.utf8"), pin, std::nullopt, "c\xC3\xA4\n", Pipe::anonymous,
       kCookie},
      {"cookie.writeend", url("cookie.writeend"), pin, std::nullopt, "c\n", Pipe::writeEnd, kPipe},
      {"cookie.fifo", url("cookie.fifo"), pin, std::nullopt, "c\n", Pipe::namedFifo, kPipe},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scenario(c.name, Scenario().exit(0));
    auto pipe = PasswordPipe::with(c.written);
    std::shared_ptr<platform::process::FileHandle> handed = pipe.reading;
    platform::posix::UniqueFd fifoWriter;
    if (c.pipe == Pipe::writeEnd) {
      auto open = PasswordPipe::with(c.written, true);
      pipe = open;
      handed = open.writing;
    } else if (c.pipe == Pipe::namedFifo) {
      auto reading = platform::posix::openFile(fifo, O_RDONLY | O_NONBLOCK);
      ASSERT_TRUE(reading);
      fifoWriter = platform::posix::openFile(fifo, O_WRONLY).value();
      ASSERT_TRUE(platform::posix::writeAll(fifoWriter.get(), std::as_bytes(std::span(c.written))));
      handed = std::make_shared<platform::process::FileHandle>(std::move(*reading));
    }
    const auto started =
        runner().start(HelperCookieStartRequest(c.url, c.servercert, c.resolve), *handed,
                       bundle.path().string(), observed->exitCallback(), observed->logHandler());
    if (!c.failure.empty()) {
      ASSERT_FALSE(started.has_value());
      EXPECT_NE(started.error().errorDescription().find(c.failure), std::string::npos)
          << started.error().errorDescription();
      EXPECT_EQ(runner().currentState(), "idle");
      EXPECT_FALSE(FakeOpenConnect::readRecord(c.name).has_value());
      EXPECT_EQ(copiesLeft(), 0U);
      continue;
    }
    ASSERT_TRUE(started.has_value()) << started.error().errorDescription();
    const auto record = FakeOpenConnect::waitForRecord(c.name);
    ASSERT_TRUE(record.has_value());
    const fs::path copies = copyDirectoryOf(*record);
    std::vector<std::string> expected = {(copies / "openconnect").string(),
                                         "--protocol=anyconnect",
                                         "--cookie-on-stdin",
                                         "--non-inter",
                                         "--script",
                                         (copies / "vpnc-script").string(),
                                         "--servercert",
                                         c.servercert,
                                         "--no-system-trust"};
    if (c.resolve) {
      expected.insert(expected.end(), {"--resolve", *c.resolve});
    }
    expected.emplace_back("localhost:8443/grp/" + c.name);
    EXPECT_EQ(record->arguments, expected);
    EXPECT_EQ(record->standardInput, c.written.substr(0, c.written.find('\n') + 1));
    ASSERT_TRUE(observed->waitForExit().has_value());
    ASSERT_TRUE(eventually([this] { return runner().currentPid() == 0; }));
    observed = std::make_shared<Observed>();
  }
}

TEST_F(RunnerLifecycle, RefusedRequestsLeaveTheRunnerIdle) {
  const auto started = start("bad user", "secret\n");
  ASSERT_FALSE(started.has_value());
  EXPECT_EQ(started.error().errorDescription(),
            "username must be 1\u2013128 characters of A-Z a-z 0-9 . _ @ + -");
  EXPECT_EQ(runner().currentState(), "idle");
  EXPECT_EQ(runner().stop().error().errorDescription(), "no tunnel is running");
}

TEST_F(RunnerLifecycle, ExitStatusReachesTheCallbackAndEndsIdle) {
  struct Case {
    std::string user;
    Scenario steps;
    std::int32_t status;
  };
  for (auto& c : std::vector<Case>{{"runner.exit3", Scenario().exit(3), 3},
                                   {"runner.killed", Scenario().killSelf(15), 15},
                                   {"runner.exit0", Scenario().exit(0), 0}}) {
    SCOPED_TRACE(c.user);
    scenario(c.user, c.steps);
    ASSERT_TRUE(start(c.user, "secret\n").has_value());
    const auto status = observed->waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, c.status);
    EXPECT_EQ(runner().currentState(), "idle");
    EXPECT_EQ(runner().currentPid(), 0);
    EXPECT_EQ(observed->exits().size(), 1U);
    const auto messages = log->messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "OpenConnect exited rc=" + std::to_string(c.status)),
              1);
    EXPECT_EQ(
        std::count(messages.begin(), messages.end(), "started bundled OpenConnect for localhost"),
        1);
    log->clear();
    EXPECT_TRUE(eventually([this] { return copiesLeft() == 0; }));
    observed = std::make_shared<Observed>();
  }
}

TEST_F(RunnerLifecycle, OutputArrivesAsWholeTrimmedLines) {
  const auto user = scenario("runner.lines", Scenario()
                                                 .rawOut("Connecting to se")
                                                 .sleep(150ms)
                                                 .rawOut("rver\r")
                                                 .sleep(150ms)
                                                 .rawOut("\n\n   \t\n  padded line \t\n")
                                                 .rawErr("on standard error\r\n")
                                                 .rawOut("bad \xFF byte\nunfinished at exit")
                                                 .exit(0));
  ASSERT_TRUE(start(user, "secret\n").has_value());
  ASSERT_TRUE(observed->waitForExit().has_value());
  ASSERT_TRUE(observed->waitForLine("unfinished at exit"));
  auto lines = observed->lines();
  std::vector<std::string> outLines;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(outLines),
               [](const std::string& line) { return line != "on standard error"; });
  EXPECT_EQ(outLines, (std::vector<std::string>{"Connecting to server", "padded line",
                                                "bad \xEF\xBF\xBD byte", "unfinished at exit"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "on standard error"), 1);
}

TEST_F(RunnerLifecycle, OnlyAWholeInterfaceNameMeansConnected) {
  for (const std::string name : {"utun3", "tun0", "tap1"}) {
    SCOPED_TRACE(name);
    const auto user = scenario(
        "runner.if." + name, Scenario().out("Connected " + name + " as 10.0.0.2").waitForSignal());
    ASSERT_TRUE(start(user, "secret\n").has_value());
    ASSERT_TRUE(observed->waitForLine("Connected " + name + " as 10.0.0.2"));
    EXPECT_EQ(runner().currentState(), "connected");
    ASSERT_TRUE(runner().stop().has_value());
    ASSERT_TRUE(observed->waitForExit().has_value());
    EXPECT_EQ(runner().currentState(), "idle");
    observed = std::make_shared<Observed>();
  }
  const auto user = scenario("runner.if.none", Scenario()
                                                   .out("utun is up")
                                                   .out("tunnel ready")
                                                   .out("xtun3 configured")
                                                   .err("utun3x configured")
                                                   .out("done")
                                                   .waitForSignal());
  ASSERT_TRUE(start(user, "secret\n").has_value());
  ASSERT_TRUE(observed->waitForLine("done"));
  ASSERT_TRUE(observed->waitForLine("utun3x configured"));
  EXPECT_EQ(runner().currentState(), "authenticating");
}

// OpenConnect keeps its session across a lost link: the state stays one of the four, and the
// reconnection shows beside it until the server has taken the session back.
TEST_F(RunnerLifecycle, AReconnectionShowsBesideTheConnectedState) {
  const std::string up = "Connected tun0 as 10.0.0.2";
  const std::string lost = "CSTP Dead Peer Detection detected dead peer!";
  const std::string back = "CSTP connected. DPD 90, Keepalive 32400";
  struct Case {
    std::string name;
    std::vector<std::string> lines;
    std::string state;
    bool reconnecting;
  };
  const std::vector<Case> cases = {
      {"lost", {up, lost, "sleep 10s, remaining timeout 290s"}, "connected", true},
      {"back", {up, lost, back}, "connected", false},
      {"before-up", {lost}, "authenticating", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scenario steps;
    for (const auto& line : c.lines) {
      steps.out(line);
    }
    steps.out("marker").waitForSignal();
    const auto user = scenario("runner.reconnect." + c.name, steps);
    ASSERT_TRUE(start(user, "secret\n").has_value());
    ASSERT_TRUE(observed->waitForLine("marker"));
    EXPECT_EQ(runner().currentState(), c.state);
    EXPECT_EQ(runner().isReconnecting(), c.reconnecting);
    ASSERT_TRUE(runner().stop().has_value());
    ASSERT_TRUE(observed->waitForExit().has_value());
    EXPECT_FALSE(runner().isReconnecting());
    observed = std::make_shared<Observed>();
  }
}

TEST_F(RunnerLifecycle, LinesDrainingAfterTheExitDoNotMarkAnIdleRunnerConnected) {
  // Output far beyond a pipe's capacity, so the last lines are still being read when the
  // child's exit is handled.
  std::string bulk;
  for (int i = 0; i < 4000; ++i) {
    bulk += "filler line " + std::to_string(i) + " ..............................\n";
  }
  const auto user =
      scenario("runner.drain", Scenario().rawOut(bulk).out("Connected tun7 as 10.0.0.2").exit(0));
  ASSERT_TRUE(start(user, "secret\n").has_value());
  ASSERT_TRUE(observed->waitForExit().has_value());
  ASSERT_TRUE(observed->waitForLine("Connected tun7 as 10.0.0.2"));
  EXPECT_EQ(runner().currentState(), "idle");
  EXPECT_EQ(runner().currentPid(), 0);
}

TEST_F(RunnerLifecycle, EveryLineIsDeliveredBeforeTheExitIsReported) {
  // A client ends as soon as its start is answered, so the answer must come after the last
  // line: here the output is far beyond a pipe's capacity and ends right before the exit.
  std::string bulk;
  for (int i = 0; i < 4000; ++i) {
    bulk += "line " + std::to_string(i) + " ........................................\n";
  }
  const auto user = scenario(
      "runner.lastlines", Scenario().rawOut(bulk).err("Failed to complete authentication").exit(1));
  ASSERT_TRUE(start(user, "secret\n").has_value());
  ASSERT_EQ(observed->waitForExit(), std::optional<std::int32_t>(1));
  const auto lines = observed->lines();
  ASSERT_EQ(lines.size(), 4001U);
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "line 3999 ........................................"),
      1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Failed to complete authentication"), 1);
}

TEST_F(RunnerLifecycle, StopOfAnObedientChildSendsOnlyTheInterrupt) {
  const auto user =
      scenario("runner.obedient", Scenario().exitOnSignal(7).out("up").waitForSignal());
  ASSERT_TRUE(start(user, "secret\n").has_value());
  ASSERT_TRUE(observed->waitForLine("up"));
  const auto pid = runner().currentPid();
  ASSERT_NE(pid, 0);
  const auto before = std::chrono::steady_clock::now();
  // The stopped child's pid, even when its exit was handled before stop returned.
  EXPECT_EQ(runner().stop(), pid);
  // SIGTERM would come only after 5 s; a child that had been killed would report 9.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 4500ms);
  EXPECT_EQ(observed->waitForExit(), std::optional<std::int32_t>(7));
  EXPECT_EQ(runner().currentState(), "idle");
}

TEST_F(RunnerLifecycle, StubbornChildIsKilledAfterEightSecondsAndStaysRecordedMeanwhile) {
  const auto user = scenario("runner.stubborn", Scenario()
                                                    .ignoreSigint()
                                                    .ignoreSigterm()
                                                    .out("up")
                                                    .sleep(3000ms)
                                                    .out("Connected utun3 as 10.0.0.2")
                                                    .sleep(60000ms));
  ASSERT_TRUE(start(user, "secret\n").has_value());
  ASSERT_TRUE(observed->waitForLine("up"));
  const auto before = std::chrono::steady_clock::now();
  auto stopping = std::async(std::launch::async, [this] { return runner().stop(); });
  ASSERT_TRUE(eventually([this] { return runner().currentState() == "stopping"; }));

  // A second start is refused without touching its pipe.
  const auto other = scenario("runner.second", Scenario().exit(0));
  auto pipe = PasswordPipe::with("other secret\n");
  const auto second =
      runner().start(HelperStartRequest("localhost", other, std::nullopt), *pipe.reading,
                     bundle.path().string(), observed->exitCallback(), observed->logHandler());
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().errorDescription(), "a tunnel is already running");
  EXPECT_EQ(pipe.reading->readDataToEndOfFile().value_or(""), "other secret\n");

  ASSERT_TRUE(observed->waitForLine("Connected utun3 as 10.0.0.2"));
  EXPECT_EQ(runner().currentState(), "connected");
  EXPECT_NE(runner().currentPid(), 0);

  ASSERT_TRUE(stopping.get().has_value());
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_GE(took, 7500ms);
  EXPECT_LT(took, 30s);
  EXPECT_EQ(observed->waitForExit(), std::optional<std::int32_t>(9));
  EXPECT_EQ(runner().currentState(), "idle");
}

TEST_F(RunnerLifecycle, SecondStartWhileRunningIsRefusedAndKeepsTheFirstHandler) {
  const auto user =
      scenario("runner.first", Scenario().out("one").sleep(400ms).out("two").waitForSignal());
  ASSERT_TRUE(start(user, "secret\n").has_value());
  ASSERT_TRUE(observed->waitForLine("one"));
  auto intruder = std::make_shared<Observed>();
  auto pipe = PasswordPipe::with("x\n");
  const auto second = runner().start(
      HelperStartRequest("localhost", "runner.intruder", std::nullopt), *pipe.reading,
      bundle.path().string(), intruder->exitCallback(), intruder->logHandler());
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error(), RunnerError::alreadyRunning());
  EXPECT_EQ(pipe.reading->readDataToEndOfFile().value_or(""), "x\n");
  ASSERT_TRUE(observed->waitForLine("two"));
  EXPECT_TRUE(intruder->lines().empty());

  runner().setLogHandler(nullptr);
  ASSERT_TRUE(runner().stop().has_value());
  ASSERT_TRUE(observed->waitForExit().has_value());
  EXPECT_TRUE(intruder->exits().empty());
}

// Swaps one item of the bundle between its verification and its copy.
TEST_F(RunnerLifecycle, BundleChangedAfterVerificationDoesNotChangeWhatRuns) {
  const fs::path marker = scratch.path() / "ran-unverified";
  const std::string impostor = "#!/bin/sh\ntouch '" + marker.string() + "'\n";
  for (const fs::path& item : {bundle.program(BundleItems::currentDarwinArch()), bundle.script()}) {
    SCOPED_TRACE(item.string());
    const std::string original = readFile(item);
    environment.afterVerification = [&] { writeFile(item, impostor); };
    auto swapped = OpenConnectRunner::create(environment);
    const auto user = scenario("runner.swap", Scenario().exit(0));
    auto pipe = PasswordPipe::with("secret\n");
    const auto started =
        swapped->start(HelperStartRequest("localhost", user, std::nullopt), *pipe.reading,
                       bundle.path().string(), observed->exitCallback(), observed->logHandler());
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error(), RunnerError::unsignedBinary());
    EXPECT_EQ(copiesLeft(), 0U);
    writeFile(item, original);
  }
  // Whatever a start launched, the runner has reaped it, and it had run to its end by then.
  EXPECT_TRUE(eventually([] { return childrenOfThisProcess().empty(); }));
  EXPECT_FALSE(fs::exists(marker));

  // Once started, the child runs from its copy whatever happens to the bundle.
  environment.afterVerification = nullptr;
  const auto user = scenario("runner.after", Scenario().out("up").waitForSignal());
  ASSERT_TRUE(start(user, "secret\n").has_value());
  const auto record = FakeOpenConnect::waitForRecord(user);
  ASSERT_TRUE(record.has_value());
  fs::remove_all(bundle.path());
  EXPECT_TRUE(fs::exists(copyDirectoryOf(*record) / "vpnc-script"));
}

// A start from the same, unchanged bundle runs from the copies an earlier one verified; any
// change to the bundle, even to the same bytes, has the next start verify it in full.
TEST_F(RunnerLifecycle, OnlyAnUnchangedBundleSkipsItsVerification) {
  int verifications = 0;
  environment.unchangedSince = 0ms;
  environment.afterVerification = [&] { ++verifications; };
  const auto user = scenario("runner.kept", Scenario().out("up").waitForSignal());
  const auto connect = [&] {
    auto started = start(user, "secret\n");
    if (started) {
      EXPECT_TRUE(observed->waitForLine("up"));
      EXPECT_TRUE(runner().stop().has_value());
    }
    return started;
  };
  const fs::path script = bundle.script();
  const fs::path program = bundle.program(BundleItems::currentDarwinArch());
  const std::string original = readFile(script);
  const struct {
    const char* change;
    std::function<void()> apply;
    bool signedStill;
  } changes[] = {
      {"nothing", [] {}, true},
      {"other bytes in an item", [&] { writeFile(script, original + "exit 1\n"); }, false},
      {"the item's own bytes back", [&] { writeFile(script, original); }, true},
      {"nothing again", [] {}, true},
      {"the program's own bytes written anew", [&] { writeFile(program, readFile(program)); },
       true},
  };
  ASSERT_TRUE(connect().has_value());
  ASSERT_EQ(verifications, 1);
  for (const auto& [change, apply, signedStill] : changes) {
    SCOPED_TRACE(change);
    const int before = verifications;
    apply();
    const auto started = connect();
    EXPECT_EQ(started.has_value(), signedStill);
    if (!signedStill && !started) {
      EXPECT_EQ(started.error(), RunnerError::unsignedBinary());
    }
    // A bundle that no longer holds fails before the copies, where verifications are counted.
    const bool checked = signedStill && !std::string_view(change).starts_with("nothing");
    EXPECT_EQ(verifications, before + (checked ? 1 : 0));
  }
  EXPECT_EQ(copiesLeft(), 0U);
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST_F(RunnerLifecycle, HundredStartsAndStopsLeakNoDescriptorsAndNoCopies) {
  const auto user =
      scenario("runner.cycle", Scenario().out("Connected tun0 as 10.0.0.2").waitForSignal());
  // One start first, so that whatever is opened once per process is counted in the baseline.
  ASSERT_TRUE(start(user, "secret\n").has_value());
  ASSERT_TRUE(runner().stop().has_value());
  ASSERT_TRUE(observed->waitForExit().has_value());
  ASSERT_TRUE(eventually([this] { return runner().currentPid() == 0; }));
  const std::size_t baseline = openDescriptors();
  for (int i = 0; i < 100; ++i) {
    observed = std::make_shared<Observed>();
    ASSERT_TRUE(start(user, "secret\n").has_value()) << "start " << i;
    ASSERT_TRUE(runner().stop().has_value());
    ASSERT_TRUE(observed->waitForExit().has_value());
    ASSERT_TRUE(eventually([this] { return runner().currentPid() == 0; }));
  }
  EXPECT_TRUE(eventually([&] { return openDescriptors() <= baseline; }))
      << openDescriptors() << " descriptors open, " << baseline << " before";
  EXPECT_TRUE(eventually([this] { return copiesLeft() == 0; }));
}

}  // namespace
}  // namespace vantreel::testing
