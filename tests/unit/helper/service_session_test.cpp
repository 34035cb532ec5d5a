// Sessions and admission in one process: the test is its own client, and a scripted
// code-signing seam decides what the daemon's checks see.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "helper/helper_listener_delegate.hpp"
#include "helper/helper_service.hpp"
#include "platform/log/capturing_sink.hpp"
#include "platform/log/system_log.hpp"
#include "platform/process/pipe.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/listener.hpp"
#include "shared/constants.hpp"
#include "shared/helper_client_dispatcher.hpp"
#include "shared/helper_client_protocol.hpp"
#include "shared/helper_xpc_protocol.hpp"
#include "shared/helper_xpc_proxy.hpp"
#include "tests/unit/helper/caller_test_support.hpp"

namespace vantreel {
namespace {

using namespace std::chrono_literals;
using platform::log::CapturingSink;
using platform::log::LogLevel;
using platform::xpc::Connection;

class NoLines final : public HelperClientProtocol {
 public:
  void appendLog(std::string /*line*/) override {}
};

// Connection threads may still be finishing (calling dropConnection, dropping sessions) after
// a test has let go of its listener, so what they reach lives as long as the process, as in
// the daemon.
HelperService& testService() {
  static auto* const service = new HelperService(OpenConnectRunner::create());
  return *service;
}
testing::ScriptedCodeSigning& testSecurity() {
  static auto* const security = new testing::ScriptedCodeSigning;
  return *security;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    security_.reset();
    previousSink_ = platform::log::setSink(sink_);
    // This process stands for a client inside an app bundle.
    const auto executable = scratch_.path() / "Vantreel.app/Contents/MacOS/vantreel-helperctl";
    std::filesystem::create_directories(executable.parent_path());
    std::ofstream(executable) << "x";
    security_.validityStatus = 0;
    security_.path = executable.string();

    listener_ = std::make_unique<platform::xpc::Listener>("session");
    listener_->setDelegate(delegate_);
    listener_->setRequirementCheck([checks = checks_](const platform::xpc::AuditToken& /*token*/,
                                                      const std::string& requirement) {
      std::scoped_lock lock(checks->mutex);
      checks->requirements.push_back(requirement);
      return checks->admits;
    });
    ASSERT_TRUE(listener_->resume());
    client_ = Connection::machService("session", 0);
    client_->setRemoteObjectInterface(HelperXPCProtocol::makeInterface());
    client_->setExportedInterface(HelperClientProtocol::makeInterface());
    client_->setExportedObject(
        std::make_shared<HelperClientDispatcher>(std::make_shared<NoLines>()));
    client_->resume();
  }
  void TearDown() override {
    client_->invalidate();
    listener_.reset();
    platform::log::setSink(previousSink_);
  }

  std::string version() {
    auto done = std::make_shared<std::promise<std::string>>();
    HelperXPCProxy(client_, [done](const platform::xpc::Error& e) {
      done->set_value("error: " + e.description());
    }).getVersionWithReply([done](const std::string& v) { done->set_value(v); });
    return wait(done);
  }
  std::string result(const char* selector) {
    auto done = std::make_shared<std::promise<std::string>>();
    HelperXPCProxy proxy(client_, [done](const platform::xpc::Error& e) {
      done->set_value("error: " + e.description());
    });
    auto onResult = [done](const HelperOpResult& r) {
      done->set_value(std::string(r.ok() ? "true " : "false ") + std::to_string(r.code()) + " " +
                      r.message() + " " + r.state() + " " + r.version() + " " +
                      std::to_string(r.pid()));
    };
    if (std::string(selector) == HelperXPCProtocol::stopSelector) {
      proxy.stopWithReply(onResult);
    } else if (std::string(selector) == HelperXPCProtocol::statusSelector) {
      proxy.statusWithReply(onResult);
    } else {
      auto pipe = platform::process::Pipe::make();
      EXPECT_TRUE(pipe);
      (void)pipe->fileHandleForWriting()->writeData("secret\n");
      (void)pipe->fileHandleForWriting()->close();
      if (std::string(selector) == HelperXPCProtocol::cookieStartSelector) {
        proxy.startWithCookie(HelperCookieStartRequest("https://localhost/session.user",
                                                       std::string(40, 'a'), std::nullopt),
                              pipe->fileHandleForReading(), onResult);
      } else {
        proxy.start(HelperStartRequest("localhost", "session.user", std::nullopt),
                    pipe->fileHandleForReading(), onResult);
      }
    }
    return wait(done);
  }
  static std::string wait(const std::shared_ptr<std::promise<std::string>>& done) {
    auto future = done->get_future();
    if (future.wait_for(60s) != std::future_status::ready) {
      return "timed out";
    }
    return future.get();
  }
  std::vector<CapturingSink::Entry> entries() const { return sink_->entries(); }
  static CapturingSink::Entry info(const std::string& message) {
    return {LogLevel::info, std::string(Constants::helperBundleID), "helper", message};
  }
  static CapturingSink::Entry error(const std::string& message) {
    return {LogLevel::error, std::string(Constants::helperBundleID), "helper", message};
  }

  testing::ScratchServiceDir scratch_{"session"};
  std::shared_ptr<CapturingSink> sink_ = std::make_shared<CapturingSink>();
  std::shared_ptr<platform::log::LogSink> previousSink_;
  testing::ScriptedCodeSigning& security_ = testSecurity();
  std::shared_ptr<HelperListenerDelegate> delegate_ =
      std::make_shared<HelperListenerDelegate>(testService(), security_);
  std::unique_ptr<platform::xpc::Listener> listener_;
  std::shared_ptr<Connection> client_;
  // Shared with the transport's check, which a connection thread may still be running after
  // the fixture is gone.
  struct RequirementChecks {
    std::mutex mutex;  // guards the two members below
    std::vector<std::string> requirements;
    bool admits = true;
  };
  std::shared_ptr<RequirementChecks> checks_ = std::make_shared<RequirementChecks>();
};

TEST_F(SessionTest, AdmissionRefusesAPeerWhoseCodeCannotBeLookedUp) {
  security_.guestStatus = -1;
  EXPECT_EQ(version().rfind("error: ", 0), 0U);
  const auto pid = std::to_string(::getpid());
  EXPECT_EQ(entries(), (std::vector<CapturingSink::Entry>{
                           info("incoming XPC connection from pid " + pid),
                           error("rejected connection: SecCode lookup failed (-1)")}));
}

TEST_F(SessionTest, EveryTunnelOperationChecksTheCallerAgainButTheVersionDoesNot) {
  EXPECT_EQ(result(HelperXPCProtocol::statusSelector), "true 0  idle 1.0.2 0");
  EXPECT_EQ(result(HelperXPCProtocol::stopSelector), "false 1 no tunnel is running idle 1.0.2 0");

  // The peer stops passing after admission: each operation refuses it with the status.
  security_.guestStatus = -1;
  const std::string refused = "false 1 SecCode lookup failed (-1) idle 1.0.2 0";
  EXPECT_EQ(result(HelperXPCProtocol::statusSelector), refused);
  EXPECT_EQ(result(HelperXPCProtocol::stopSelector), refused);
  EXPECT_EQ(result(HelperXPCProtocol::startSelector), refused);
  EXPECT_EQ(result(HelperXPCProtocol::cookieStartSelector), refused);
  EXPECT_EQ(version(), "1.0.2");

  const auto pid = std::to_string(::getpid());
  EXPECT_EQ(entries(), (std::vector<CapturingSink::Entry>{
                           info("incoming XPC connection from pid " + pid),
                           info("accepted XPC connection from a signed Vantreel caller"),
                           error("rejected start: SecCode lookup failed (-1)"),
                           error("rejected start: SecCode lookup failed (-1)")}));
}

TEST_F(SessionTest, AnAdmittedConnectionChecksTheRequirementBeforeEveryMessage) {
  EXPECT_EQ(version(), "1.0.2");
  EXPECT_EQ(result(HelperXPCProtocol::statusSelector), "true 0  idle 1.0.2 0");
  {
    std::scoped_lock lock(checks_->mutex);
    EXPECT_EQ(checks_->requirements,
              (std::vector<std::string>(2, Constants::codeSigningRequirement())));
    checks_->admits = false;
  }
  // Refused by the transport itself: the session never answers, the connection ends.
  EXPECT_EQ(result(HelperXPCProtocol::statusSelector).rfind("error: ", 0), 0U);
  EXPECT_EQ(version().rfind("error: ", 0), 0U);
}

}  // namespace
}  // namespace vantreel
