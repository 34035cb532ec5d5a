#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/process/pipe.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/keyed_archiver.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/listener_delegate.hpp"
#include "shared/helper_client_dispatcher.hpp"
#include "shared/helper_client_protocol.hpp"
#include "shared/helper_client_proxy.hpp"
#include "shared/helper_xpc_dispatcher.hpp"
#include "shared/helper_xpc_protocol.hpp"
#include "shared/helper_xpc_proxy.hpp"

namespace vantreel {
namespace {

using namespace std::chrono_literals;
using platform::xpc::Connection;

// The daemon's side, recording what reaches it. start keeps its reply so a test decides when,
// and from which thread, the start is answered.
class RecordingHelper final : public HelperXPCProtocol {
 public:
  explicit RecordingHelper(std::shared_ptr<Connection> connection)
      : client_(connection->remoteObjectProxy()) {}

  void getVersionWithReply(VersionReply reply) override { reply("9.9.9"); }
  void start(HelperStartRequest request, std::shared_ptr<platform::process::FileHandle> pipe,
             ResultReply reply) override {
    auto password = pipe->readDataToEndOfFile();
    client_.appendLog("line for " + request.username());
    std::scoped_lock lock(mutex_);
    request_ = std::move(request);
    password_ = password ? *password : "<read failed>";
    startReply_ = std::move(reply);
    changed_.notify_all();
  }
  void stopWithReply(ResultReply reply) override {
    reply(HelperOpResult(true, 0, "stopping", "stopping", "9.9.9", -7));
  }
  // Answers at once with what arrived, the cookie included.
  void startWithCookie(HelperCookieStartRequest request,
                       std::shared_ptr<platform::process::FileHandle> pipe,
                       ResultReply reply) override {
    auto cookie = pipe->readDataToEndOfFile();
    reply(HelperOpResult(true, 0,
                         request.connectURL() + " " + request.servercert() + " " +
                             request.resolve().value_or("-") + " " +
                             (cookie ? *cookie : std::string("<read failed>")),
                         "idle", "9.9.9", 0));
  }
  void statusWithReply(ResultReply reply) override {
    if (dropStatus_) {
      return;  // never answers: the reply is dropped
    }
    reply(HelperOpResult(true, 0, "", "connected", "9.9.9", 1LL << 40));
  }

  std::optional<HelperStartRequest> waitForStart(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return request_.has_value(); });
    return request_;
  }
  ResultReply takeStartReply() {
    std::scoped_lock lock(mutex_);
    return std::move(startReply_);
  }
  std::string password() {
    std::scoped_lock lock(mutex_);
    return password_;
  }
  std::atomic<bool> dropStatus_{false};
  std::atomic<int> starts_{0};

 private:
  HelperClientProxy client_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<HelperStartRequest> request_;
  std::string password_;
  ResultReply startReply_;
};

class Delegate final : public platform::xpc::ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(platform::xpc::Listener& /*listener*/,
                                 std::shared_ptr<Connection> connection) override {
    auto helper = std::make_shared<RecordingHelper>(connection);
    connection->setExportedInterface(HelperXPCProtocol::makeInterface());
    connection->setRemoteObjectInterface(HelperClientProtocol::makeInterface());
    connection->setExportedObject(std::make_shared<HelperXPCDispatcher>(helper));
    connection->resume();
    std::scoped_lock lock(mutex);
    helpers.push_back(helper);
    return true;
  }
  std::mutex mutex;
  std::vector<std::shared_ptr<RecordingHelper>> helpers;
};

class Lines final : public HelperClientProtocol {
 public:
  void appendLog(std::string line) override {
    std::scoped_lock lock(mutex);
    lines.push_back(std::move(line));
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

class ProtocolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vt-protocols-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(::setenv("VANTREEL_SERVICE_DIR", dir_.c_str(), 1), 0);
    listener_ = std::make_unique<platform::xpc::Listener>("protocols");
    listener_->setDelegate(delegate_);
    ASSERT_TRUE(listener_->resume());
    client_ = Connection::machService("protocols", 0);
    client_->setRemoteObjectInterface(HelperXPCProtocol::makeInterface());
    client_->setExportedInterface(HelperClientProtocol::makeInterface());
    client_->setExportedObject(std::make_shared<HelperClientDispatcher>(lines_));
    client_->resume();
  }
  void TearDown() override {
    client_->invalidate();
    listener_.reset();
    std::filesystem::remove_all(dir_);
  }

  // One call through a fresh typed proxy; the promise gets the reply or the error text.
  template <class Call>
  std::string callForText(Call call) {
    auto done = std::make_shared<std::promise<std::string>>();
    HelperXPCProxy proxy(client_, [done](const platform::xpc::Error& error) {
      done->set_value("error: " + error.description());
    });
    call(proxy, done);
    auto future = done->get_future();
    if (future.wait_for(10s) != std::future_status::ready) {
      return "timed out";
    }
    return future.get();
  }

  std::filesystem::path dir_;
  std::shared_ptr<Delegate> delegate_ = std::make_shared<Delegate>();
  std::unique_ptr<platform::xpc::Listener> listener_;
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  std::shared_ptr<Connection> client_;
};

std::string describe(const HelperOpResult& r) {
  return std::string(r.ok() ? "ok" : "failed") + " " + std::to_string(r.code()) + " " +
         r.message() + " " + r.state() + " " + r.version() + " " + std::to_string(r.pid());
}

TEST_F(ProtocolsTest, RepliesCarryTheRecordsWithEveryField) {
  EXPECT_EQ(callForText([](HelperXPCProxy& proxy, auto done) {
              proxy.getVersionWithReply([done](std::string v) { done->set_value(v); });
            }),
            "9.9.9");
  EXPECT_EQ(callForText([](HelperXPCProxy& proxy, auto done) {
              proxy.stopWithReply([done](HelperOpResult r) { done->set_value(describe(r)); });
            }),
            "ok 0 stopping stopping 9.9.9 -7");
  EXPECT_EQ(callForText([](HelperXPCProxy& proxy, auto done) {
              proxy.statusWithReply([done](HelperOpResult r) { done->set_value(describe(r)); });
            }),
            "ok 0  connected 9.9.9 1099511627776");
  // The cookie start: its own record, admitted for its own selector, and the pipe's content.
  for (const auto& resolve :
       {std::optional<std::string>("gw:10.0.0.1"), std::optional<std::string>()}) {
    auto pipe = platform::process::Pipe::make();
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(pipe->fileHandleForWriting()->writeData("webvpn=c00kie\n"));
    ASSERT_TRUE(pipe->fileHandleForWriting()->close());
    EXPECT_EQ(callForText([&](HelperXPCProxy& proxy, auto done) {
                proxy.startWithCookie(
                    HelperCookieStartRequest("https://gw/grp", "pin-sha256:P=", resolve),
                    pipe->fileHandleForReading(),
                    [done](HelperOpResult r) { done->set_value(describe(r)); });
              }),
              "ok 0 https://gw/grp pin-sha256:P= " + resolve.value_or("-") +
                  " webvpn=c00kie\n idle 9.9.9 0");
  }
}

TEST_F(ProtocolsTest, StartCarriesRequestAndPipeAndIsAnsweredLaterFromAnotherThread) {
  auto pipe = platform::process::Pipe::make();
  ASSERT_TRUE(pipe);
  ASSERT_TRUE(pipe->fileHandleForWriting()->writeData("abc\n"));
  ASSERT_TRUE(pipe->fileHandleForWriting()->close());

  auto done = std::make_shared<std::promise<std::string>>();
  HelperXPCProxy proxy(client_, [done](const platform::xpc::Error& error) {
    done->set_value("error: " + error.description());
  });
  proxy.start(HelperStartRequest("gateway", "user1", std::string()), pipe->fileHandleForReading(),
              [done](HelperOpResult r) { done->set_value(describe(r)); });

  std::shared_ptr<RecordingHelper> helper;
  for (int i = 0; i < 200 && !helper; ++i) {
    std::this_thread::sleep_for(10ms);
    std::scoped_lock lock(delegate_->mutex);
    if (!delegate_->helpers.empty()) helper = delegate_->helpers.front();
  }
  ASSERT_TRUE(helper);
  const auto request = helper->waitForStart();
  ASSERT_TRUE(request);
  EXPECT_EQ(*request, HelperStartRequest("gateway", "user1", std::string()));
  EXPECT_EQ(helper->password(), "abc\n");

  auto future = done->get_future();
  EXPECT_EQ(future.wait_for(200ms), std::future_status::timeout) << "start answered early";
  std::jthread later([reply = helper->takeStartReply()] {
    reply(HelperOpResult(false, 3, "openconnect exited", "idle"));
  });
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get(), "failed 3 openconnect exited idle 1.0.2 0");
  std::scoped_lock lock(lines_->mutex);
  EXPECT_EQ(lines_->lines, std::vector<std::string>{"line for user1"});
}

TEST_F(ProtocolsTest, StartWhoseRequestDoesNotDecodeNeverRunsAndFailsTheCall) {
  platform::xpc::KeyedArchiver archiver(HelperStartRequest::className);
  archiver.encodeObject("server", "gateway");  // no user name
  auto pipe = platform::process::Pipe::make();
  ASSERT_TRUE(pipe);
  auto descriptor = platform::posix::duplicate(pipe->fileHandleForReading()->fileDescriptor());
  ASSERT_TRUE(descriptor);

  auto done = std::make_shared<std::promise<std::string>>();
  auto raw = client_->remoteObjectProxyWithErrorHandler(
      [done](const platform::xpc::Error& e) { done->set_value("error: " + e.description()); });
  std::vector<platform::xpc::Value> arguments;
  arguments.emplace_back(std::move(archiver).take());
  arguments.emplace_back(std::move(*descriptor));
  raw.send(HelperXPCProtocol::startSelector, std::move(arguments),
           [done](std::vector<platform::xpc::Value>) { done->set_value("replied"); });
  auto future = done->get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get().rfind("error: ", 0), 0U);
  std::scoped_lock lock(delegate_->mutex);
  for (const auto& helper : delegate_->helpers) {
    EXPECT_FALSE(helper->waitForStart(200ms).has_value());
  }
}

TEST_F(ProtocolsTest, AReplyDroppedUnsentReachesTheCallerAsAnError) {
  // The first call makes the connection and its helper exist.
  ASSERT_EQ(callForText([](HelperXPCProxy& proxy, auto done) {
              proxy.getVersionWithReply([done](std::string v) { done->set_value(v); });
            }),
            "9.9.9");
  {
    std::scoped_lock lock(delegate_->mutex);
    ASSERT_EQ(delegate_->helpers.size(), 1U);
    delegate_->helpers.front()->dropStatus_ = true;
  }
  const auto text = callForText([](HelperXPCProxy& proxy, auto done) {
    proxy.statusWithReply([done](HelperOpResult r) { done->set_value(describe(r)); });
  });
  EXPECT_EQ(text.rfind("error: ", 0), 0U) << text;
}

}  // namespace
}  // namespace vantreel
