#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "helperctl/helper_ctl_client.hpp"
#include "tests/integration/helperctl/ctl_fake_daemon.hpp"

namespace vantreel {
namespace {

using namespace std::chrono_literals;
using testing::CtlFakeDaemon;

// A file standing in for standard output or error, read back after the fact.
class Capture {
 public:
  Capture() : file_(std::tmpfile()) {}
  ~Capture() {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  [[nodiscard]] int fd() const { return ::fileno(file_); }
  [[nodiscard]] std::string text() const {
    std::string result;
    char buffer[4096];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd(), buffer, sizeof buffer, at);
      if (n <= 0) {
        return result;
      }
      result.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
  }

 private:
  std::FILE* file_;
};

class CtlClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<HelperCtlClient> makeClient() {
    return HelperCtlClient::make(Constants::machService, {output_.fd(), error_.fd()});
  }

  Capture output_;
  Capture error_;
};

TEST_F(CtlClientTest, AbsentDaemonFailsAtOnceWithOneReportedError) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("vt-ctl-empty-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ASSERT_EQ(::setenv("VANTREEL_SERVICE_DIR", dir.c_str(), 1), 0);
  auto client = makeClient();
  const auto began = std::chrono::steady_clock::now();
  auto version = client->getVersion();
  // Far below the 3 s time-out: the connection's own error ends the call.
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
  ASSERT_FALSE(version.has_value());
  EXPECT_EQ(version.error().domain, HelperCtlClient::xpcErrorDomain);
  EXPECT_NE(version.error().description.find("No such file or directory"), std::string::npos);
  EXPECT_EQ(error_.text(), "helper XPC error: " + version.error().description + "\n");
  EXPECT_EQ(output_.text(), "");
  std::filesystem::remove_all(dir);
}

TEST_F(CtlClientTest, UnansweredVersionTimesOutAfterThreeSeconds) {
  CtlFakeDaemon::Script script;
  script.version = std::nullopt;
  CtlFakeDaemon daemon(script);
  ASSERT_TRUE(daemon.resumed());
  auto client = makeClient();
  const auto began = std::chrono::steady_clock::now();
  auto version = client->getVersion();
  const auto took = std::chrono::steady_clock::now() - began;
  ASSERT_FALSE(version.has_value());
  EXPECT_EQ(version.error().domain, "org.vantreel.desktop.helperctl");
  EXPECT_EQ(version.error().code, 2);
  EXPECT_EQ(version.error().description, "XPC call timed out");
  EXPECT_GE(took, 3s);
  EXPECT_LT(took, 60s);
  EXPECT_EQ(error_.text(), "");
  // The connection stays usable after a time-out.
  auto status = client->status();
  ASSERT_TRUE(status.has_value()) << status.error().description;
  EXPECT_EQ(status->state(), "idle");
  // The time-out was the abandoned call's one failure: the end of the connection, which
  // still fails it, says nothing more.
  client->invalidate();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(error_.text(), "");
}

TEST_F(CtlClientTest, AConnectionThatFailsAfterATimeOutIsStillReported) {
  CtlFakeDaemon::Script script;
  script.version = std::nullopt;
  auto daemon = std::make_unique<CtlFakeDaemon>(script);
  ASSERT_TRUE(daemon->resumed());
  auto client = makeClient();
  auto version = client->getVersion();
  ASSERT_FALSE(version.has_value());
  EXPECT_EQ(version.error().code, 2);
  daemon.reset();
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (error_.text().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  const auto text = error_.text();
  EXPECT_EQ(text.rfind("helper XPC error: ", 0), 0U) << text;
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

TEST_F(CtlClientTest, PasswordArrivesAsOneLineThenEndOfFileAndLogLinesAreWritten) {
  CtlFakeDaemon::Script script;
  script.logLines = {"x", "with line feed\n", ""};
  script.startAnswer = HelperOpResult(false, 7, "openconnect failed", "idle");
  CtlFakeDaemon daemon(script);
  ASSERT_TRUE(daemon.resumed());
  auto client = makeClient();
  bool sent = false;
  auto reply = client->connect(HelperStartRequest("gateway", "user1", std::nullopt), "abc",
                               [&sent] { sent = true; });
  EXPECT_TRUE(sent);
  // ok false with a code is a value, not an error.
  ASSERT_TRUE(reply.has_value()) << reply.error().description;
  EXPECT_EQ(*reply, HelperOpResult(false, 7, "openconnect failed", "idle"));
  EXPECT_EQ(daemon.events(),
            (std::vector<std::string>{"connection", "start gateway user1 - abc\n"}));
  // The log lines were sent before the reply, and the connection delivers in order.
  EXPECT_EQ(output_.text(), "x\nwith line feed\n\n\n");
  EXPECT_EQ(error_.text(), "");
}

TEST_F(CtlClientTest, PasswordLongerThanThePipeLineIsRefusedWithoutContactingTheDaemon) {
  CtlFakeDaemon daemon(CtlFakeDaemon::Script{});
  ASSERT_TRUE(daemon.resumed());
  auto client = makeClient();
  const std::string longest(HelperCtlClient::maxPasswordBytes, 'p');
  bool sent = false;
  auto reply = client->connect(HelperStartRequest("gateway", "user1", std::nullopt), longest + "q",
                               [&sent] { sent = true; });
  ASSERT_FALSE(reply.has_value());
  EXPECT_FALSE(sent);
  EXPECT_EQ(reply.error().code, 65);
  EXPECT_EQ(reply.error().description, "password too long (at most 8191 bytes)");
  EXPECT_TRUE(client->status().has_value());
  EXPECT_EQ(daemon.events(), (std::vector<std::string>{"connection", "status"}));

  // The longest admitted password goes through whole.
  std::jthread ender([&] {
    daemon.waitForEvents(3);
    daemon.endStart(HelperOpResult(true, 0));
  });
  reply = client->connect(HelperStartRequest("gateway", "user1", std::nullopt), longest);
  ASSERT_TRUE(reply.has_value()) << reply.error().description;
  const auto events = daemon.events();
  ASSERT_EQ(events.size(), 3U);
  EXPECT_EQ(events[2], "start gateway user1 - " + longest + "\n");
}

TEST_F(CtlClientTest, StopFromAnotherThreadWhileConnectWaitsFollowsTheStart) {
  CtlFakeDaemon daemon(CtlFakeDaemon::Script{});
  ASSERT_TRUE(daemon.resumed());
  auto client = makeClient();
  std::promise<void> sent;
  std::future<tl::expected<HelperOpResult, CtlError>> stopped;
  auto reply =
      client->connect(HelperStartRequest("gateway", "user1", std::string("pin")), "pw", [&] {
        // The stop leaves as soon as the start is on its way, before
        // the daemon has even read it.
        stopped = std::async(std::launch::async, [client] { return client->stop(); });
      });
  ASSERT_TRUE(reply.has_value()) << reply.error().description;
  EXPECT_EQ(*reply, HelperOpResult(true, 0));
  auto stop = stopped.get();
  ASSERT_TRUE(stop.has_value()) << stop.error().description;
  EXPECT_EQ(stop->state(), "stopping");
  EXPECT_EQ(daemon.events(),
            (std::vector<std::string>{"connection", "start gateway user1 pin pw\n", "stop"}));
}

TEST_F(CtlClientTest, InvalidateFailsWaitingCallsAtOnce) {
  CtlFakeDaemon daemon(CtlFakeDaemon::Script{});
  ASSERT_TRUE(daemon.resumed());
  auto client = makeClient();
  auto waiting = std::async(std::launch::async, [client] {
    return client->connect(HelperStartRequest("gateway", "user1", std::nullopt), "pw");
  });
  daemon.waitForEvents(2);
  client->invalidate();
  ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
  auto reply = waiting.get();
  ASSERT_FALSE(reply.has_value());
  EXPECT_EQ(reply.error().domain, HelperCtlClient::xpcErrorDomain);
  // The end is the client's own doing, not a failure to report.
  EXPECT_EQ(error_.text(), "");
}

}  // namespace
}  // namespace vantreel
