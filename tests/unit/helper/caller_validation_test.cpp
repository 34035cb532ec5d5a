#include "helper/caller_validation.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "helper/caller_validation_error.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/listener.hpp"
#include "shared/helper_xpc_protocol.hpp"
#include "tests/unit/helper/caller_test_support.hpp"

namespace vantreel {
namespace {

namespace fs = std::filesystem;
using platform::xpc::Connection;
using testing::ScriptedCodeSigning;

TEST(CallerValidationError, DescriptionsAreTheFixedTexts) {
  EXPECT_EQ(CallerValidationError::secCode(-1).errorDescription(), "SecCode lookup failed (-1)");
  EXPECT_EQ(CallerValidationError::secCode(0).errorDescription(), "SecCode lookup failed (0)");
  EXPECT_EQ(CallerValidationError::secCode(-67062).errorDescription(),
            "SecCode lookup failed (-67062)");
  EXPECT_EQ(CallerValidationError::missingAuditToken().errorDescription(),
            "caller audit token missing");
  EXPECT_EQ(CallerValidationError::requirementFailed().errorDescription(),
            "caller failed the code-signing requirement");
  EXPECT_EQ(CallerValidationError::unsignedOrWrongTeam().errorDescription(),
            "caller is not signed by the Vantreel Team ID");
  EXPECT_EQ(CallerValidationError::bundleNotFound().errorDescription(),
            "could not resolve the caller's app bundle");
  EXPECT_NE(CallerValidationError::secCode(-1), CallerValidationError::secCode(-2));
}

TEST(CallerValidation, AConnectionWithoutAPeerHasNoAuditToken) {
  std::array<unsigned char, 32> buffer{};
  buffer.fill(0xAB);
  EXPECT_EQ(VTHCopyAuditTokenData(nullptr, buffer.data(), buffer.size()), 0);
  // A client connection that never connected has no peer, so no token.
  auto unconnected = Connection::machService("nobody-listens-here", 0);
  EXPECT_EQ(VTHCopyAuditTokenData(unconnected.get(), buffer.data(), buffer.size()), 0);
  EXPECT_EQ(buffer[0], 0xAB) << "the buffer must be left alone";

  ScriptedCodeSigning security;
  const auto verified = CallerValidation::verify(*unconnected, security);
  ASSERT_FALSE(verified);
  EXPECT_EQ(verified.error().errorDescription(), "caller audit token missing");
}

// Connections whose peer is this process, as the daemon would see them.
class PeerConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = std::make_unique<platform::xpc::Listener>("caller-validation");
    listener_->setDelegate(delegate_);
    ASSERT_TRUE(listener_->resume());
    client_ = Connection::machService("caller-validation", 0);
    client_->setRemoteObjectInterface(HelperXPCProtocol::makeInterface());
    client_->resume();
    client_->remoteObjectProxyWithErrorHandler([](const platform::xpc::Error&) {})
        .send(HelperXPCProtocol::getVersionSelector, {},
              [](const std::vector<platform::xpc::Value>&) {});
    server_ = delegate_->waitForOne();
    ASSERT_TRUE(server_);
  }
  void TearDown() override {
    client_->invalidate();
    listener_.reset();
  }

  // A scratch tree; path names a file below it that is created with its folders.
  fs::path makeFile(const fs::path& relative) {
    auto full = scratch_.path() / relative;
    fs::create_directories(full.parent_path());
    std::ofstream(full) << "x";
    return full;
  }

  std::string failureText(ScriptedCodeSigning& security) {
    auto verified = CallerValidation::verify(*server_, security);
    return verified ? "verified " + *verified : verified.error().errorDescription();
  }

  testing::ScratchServiceDir scratch_{"caller-validation"};
  std::shared_ptr<testing::KeepingDelegate> delegate_ =
      std::make_shared<testing::KeepingDelegate>();
  std::unique_ptr<platform::xpc::Listener> listener_;
  std::shared_ptr<Connection> client_;
  std::shared_ptr<Connection> server_;
};

TEST_F(PeerConnection, TheAuditTokenIsTheKernelsRecordOfThePeer) {
  std::array<unsigned char, 32> buffer{};
  ASSERT_EQ(VTHCopyAuditTokenData(server_.get(), buffer.data(), buffer.size()), 1);
  const auto token = server_->auditToken();
  ASSERT_TRUE(token);
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    EXPECT_EQ(buffer[i], static_cast<unsigned char>(token->bytes()[i])) << "byte " << i;
  }
  EXPECT_EQ(token->pid(), ::getpid());
  std::array<unsigned char, 31> tooShort{};
  EXPECT_EQ(VTHCopyAuditTokenData(server_.get(), tooShort.data(), tooShort.size()), 0);
}

TEST_F(PeerConnection, EachFailingSecurityCallIsReportedWithItsStatus) {
  ScriptedCodeSigning security;
  security.guestStatus = -1;
  EXPECT_EQ(failureText(security), "SecCode lookup failed (-1)");
  security.guestStatus = 0;  // success, yet no code object
  EXPECT_EQ(failureText(security), "SecCode lookup failed (0)");

  security.guestStatus.reset();
  security.requirementStatus = platform::codesign::errSecCSReqInvalid;
  EXPECT_EQ(failureText(security), "SecCode lookup failed (-67052)");

  // A failed check keeps no status: every refusal reads the same.
  security.requirementStatus.reset();
  security.validityStatus = -1;
  EXPECT_EQ(failureText(security), "caller failed the code-signing requirement");

  security.validityStatus = 0;
  security.staticCodeStatus = -1;
  EXPECT_EQ(failureText(security), "SecCode lookup failed (-1)");
  security.staticCodeStatus.reset();
  security.path = makeFile("A.app/Contents/MacOS/tool").string();
  security.pathStatus = -67065;
  EXPECT_EQ(failureText(security), "SecCode lookup failed (-67065)");
}

TEST_F(PeerConnection, ThisUnsignedTestProgramFailsTheRealRequirement) {
  ScriptedCodeSigning passThrough;
  EXPECT_EQ(failureText(passThrough), "caller failed the code-signing requirement");
  const auto check = CallerValidation::requirementCheck();
  EXPECT_FALSE(check(*server_->auditToken(), "anchor apple generic"));
}

TEST_F(PeerConnection, TheOutermostAppWithinEightAncestorsIsTheBundle) {
  ScriptedCodeSigning security;
  security.validityStatus = 0;
  const auto verifiedPath = [&](const fs::path& code) {
    security.path = code.string();
    return failureText(security);
  };
  const auto root = fs::canonical(scratch_.path());

  EXPECT_EQ(verifiedPath(makeFile("Vantreel.app/Contents/MacOS/vantreel-helperctl")),
            "verified " + (root / "Vantreel.app").string());
  EXPECT_EQ(verifiedPath(makeFile("Outer.app/Contents/Inner.app/Contents/MacOS/x")),
            "verified " + (root / "Outer.app").string());
  // The code's own location counts when it is the bundle.
  fs::create_directories(root / "Self.app");
  EXPECT_EQ(verifiedPath(root / "Self.app"), "verified " + (root / "Self.app").string());

  // Eight ancestors are looked at, the ninth is not.
  EXPECT_EQ(verifiedPath(makeFile("Eight.app/1/2/3/4/5/6/7/tool")),
            "verified " + (root / "Eight.app").string());
  EXPECT_EQ(verifiedPath(makeFile("Nine.app/1/2/3/4/5/6/7/8/tool")),
            "could not resolve the caller's app bundle");

  EXPECT_EQ(verifiedPath(makeFile("Shout.APP/Contents/MacOS/tool")),
            "could not resolve the caller's app bundle");
  EXPECT_EQ(verifiedPath(makeFile(".app/Contents/MacOS/tool")),
            "could not resolve the caller's app bundle");
  EXPECT_EQ(verifiedPath(makeFile("plain/bin/tool")), "could not resolve the caller's app bundle");
}

TEST_F(PeerConnection, LinksAreResolvedBeforeTheBundleSearch) {
  ScriptedCodeSigning security;
  security.validityStatus = 0;
  const auto root = fs::canonical(scratch_.path());
  makeFile("Real.app/Contents/MacOS/tool");
  fs::create_directories(root / "elsewhere");
  fs::create_directory_symlink(root / "Real.app/Contents/MacOS", root / "elsewhere/MacOS");
  security.path = (root / "elsewhere/MacOS/tool").string();
  EXPECT_EQ(failureText(security), "verified " + (root / "Real.app").string());

  // A link that only looks like a bundle leads out of it.
  fs::create_directories(root / "Fake.app");
  fs::create_symlink(root / "plain-tool", root / "Fake.app/tool");
  makeFile("plain-tool");
  security.path = (root / "Fake.app/tool").string();
  EXPECT_EQ(failureText(security), "could not resolve the caller's app bundle");
}

TEST(CallerValidation, IsSignedByTeamAnswersFalseForWhatIsNotSignedOrNotThere) {
  EXPECT_FALSE(CallerValidation::isSignedByTeam("/nonexistent/Vantreel.app"));
  EXPECT_FALSE(CallerValidation::isSignedByTeam("/proc/self/exe"));
  EXPECT_FALSE(CallerValidation::isSignedByTeam("/etc"));
}

}  // namespace
}  // namespace vantreel
