#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>

#include "platform/codesign/code_signer.hpp"
#include "platform/codesign/code_signing.hpp"
#include "shared/constants.hpp"
#include "tests/integration/codesign/scratch_dir.hpp"

namespace vantreel::platform::codesign {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int exitCode = -1;
  std::string output;
};

ToolRun verifyWithTool(const fs::path& path) {
  const std::string command = std::string(VT_CODESIGN_TOOL) + " verify '" + path.string() + "'";
  ToolRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return run;
  }
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    run.output += buffer;
  }
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class SealedBundle : public ::testing::Test {
 protected:
  void SetUp() override { freshCopy(); }

  void freshCopy() {
    bundle = scratch.path() / "Vantreel.app";
    fs::remove_all(bundle);
    fs::copy(VT_DEV_BUNDLE, bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }

  OSStatus status() {
    auto code = services.SecStaticCodeCreateWithPath(bundle.string(), 0);
    if (!code) {
      return code.error();
    }
    auto requirement = services.SecRequirementCreateWithString(
        "anchor apple generic and certificate leaf[subject.OU] = \"" + Constants::teamID() +
            "\" and identifier \"org.vantreel.desktop\"",
        0);
    EXPECT_TRUE(requirement.has_value());
    return services.SecStaticCodeCheckValidity(*code, kSecCSCheckAllArchitectures,
                                               requirement.value_or(nullptr));
  }

  void reseal(const std::string& identityName) {
    const std::string dir = VT_IDENTITY_DIR;
    const auto identity = SigningIdentity::load(dir + "/" + identityName + ".key",
                                                dir + "/" + identityName + ".pem", "");
    ASSERT_TRUE(identity.has_value());
    const auto sealed = CodeSigner::sealBundle(bundle.string(), "org.vantreel.desktop", *identity);
    ASSERT_TRUE(sealed.has_value()) << sealed.error();
  }

  CodeSigning& services = CodeSigning::real();
  testing::ScratchDir scratch;
  fs::path bundle;
  const std::string script = "Contents/Resources/extra/openconnect/vpnc-script";
};

TEST_F(SealedBundle, AnyChangeToTheContentsBreaksTheSeal) {
  ASSERT_EQ(status(), errSecSuccess);
  std::ofstream(bundle / script, std::ios::app) << "echo injected\n";
  EXPECT_EQ(status(), errSecCSBadResource) << "changed script";

  freshCopy();
  ASSERT_EQ(status(), errSecSuccess);
  std::ofstream(bundle / "Contents/Resources/extra/openconnect/extra-script") << "#!/bin/sh\n";
  EXPECT_EQ(status(), errSecCSBadResource) << "added file";

  freshCopy();
  fs::remove(bundle / script);
  EXPECT_EQ(status(), errSecCSBadResource) << "removed file";

  freshCopy();
  fs::permissions(bundle / script,
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::remove);
  EXPECT_EQ(status(), errSecCSBadResource) << "exec bit";
}

TEST_F(SealedBundle, AnUnsealedOrResizedFileIsRefusedUnread) {
  constexpr std::uintmax_t kGiB = std::uintmax_t{1} << 30;
  const auto threadCpuTime = [] {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  };
  // Holes: as costly to hash as data, and free to make in a copy of the app.
  const auto hole = [](const fs::path& path, std::uintmax_t size) {
    std::ofstream(path, std::ios::app).flush();
    fs::resize_file(path, size);
  };
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"added 1 GiB", [&] { hole(bundle / "Contents/Resources/big", kGiB); }},
      {"added 32 GiB, deep",
       [&] {
         fs::create_directories(bundle / "Contents/Resources/a/b");
         hole(bundle / "Contents/Resources/a/b/big", 32 * kGiB);
       }},
      {"sealed script grown to 1 GiB", [&] { hole(bundle / script, kGiB); }},
      {"sealed program grown to 32 GiB",
       [&] { hole(bundle / "Contents/MacOS/vantreel-helperctl", 32 * kGiB); }},
      {"sealed script now a folder",
       [&] {
         fs::remove(bundle / script);
         fs::create_directory(bundle / script);
         hole(bundle / script / "big", kGiB);
       }},
  };
  for (const auto& [what, change] : cases) {
    SCOPED_TRACE(what);
    freshCopy();
    change();
    const auto before = threadCpuTime();
    EXPECT_EQ(status(), errSecCSBadResource);
    const auto spent = threadCpuTime() - before;
    std::cout << what << ": " << spent.count() / 1000 << " us of CPU\n";
    EXPECT_LT(spent, std::chrono::milliseconds(20) * testing::kSlowdown);
  }
}

TEST_F(SealedBundle, RepointedSymlinkBreaksTheSeal) {
  fs::create_symlink("vpnc-script", bundle / "Contents/Resources/extra/openconnect/current");
  reseal("dev-signing");
  ASSERT_EQ(status(), errSecSuccess);
  fs::remove(bundle / "Contents/Resources/extra/openconnect/current");
  fs::create_symlink("/bin/sh", bundle / "Contents/Resources/extra/openconnect/current");
  EXPECT_EQ(status(), errSecCSBadResource);
}

TEST_F(SealedBundle, SealMustComeFromOurTeamAndLieWhereExpected) {
  reseal("other-team");
  EXPECT_EQ(status(), errSecCSReqFailed);
  reseal("foreign-signing");
  EXPECT_EQ(status(), errSecCSReqFailed);
  reseal("dev-signing");
  ASSERT_EQ(status(), errSecSuccess);

  // A seal reached through a link is not the bundle's own.
  const fs::path elsewhere = scratch.path() / "elsewhere";
  fs::rename(bundle / "Contents/_CodeSignature", elsewhere);
  fs::create_directory_symlink(elsewhere, bundle / "Contents/_CodeSignature");
  EXPECT_EQ(status(), errSecCSUnsigned);

  fs::remove(bundle / "Contents/_CodeSignature");
  EXPECT_EQ(status(), errSecCSUnsigned);

  // A signed executable is no seal: its signature names another kind of code.
  fs::create_directory(bundle / "Contents/_CodeSignature");
  fs::copy_file(bundle / "Contents/MacOS/Vantreel",
                bundle / "Contents/_CodeSignature/CodeResources");
  EXPECT_NE(status(), errSecSuccess);
}

TEST_F(SealedBundle, ToolVerifiesTheBuiltBundleAndNoticesAnAddedFile) {
  const auto good = verifyWithTool(VT_DEV_BUNDLE);
  EXPECT_EQ(good.exitCode, 0) << good.output;
  EXPECT_NE(good.output.find("identifier: org.vantreel.desktop\n"), std::string::npos);
  EXPECT_NE(good.output.find("team: " + Constants::teamID() + "\n"), std::string::npos);
  EXPECT_NE(good.output.find("result: valid\n"), std::string::npos);

  std::ofstream(bundle / "Contents/touched");
  const auto bad = verifyWithTool(bundle);
  EXPECT_EQ(bad.exitCode, 1) << bad.output;
  EXPECT_NE(bad.output.find("result: invalid (-67054)"), std::string::npos) << bad.output;

  // The pieces inside: both signed programs verify, the daemon and the script do not pass as
  // callers or on their own.
  EXPECT_EQ(verifyWithTool(fs::path(VT_DEV_BUNDLE) / "Contents/MacOS/vantreel-helperctl").exitCode,
            0);
  EXPECT_EQ(verifyWithTool(fs::path(VT_DEV_BUNDLE) / script).exitCode, 1);
}

}  // namespace
}  // namespace vantreel::platform::codesign
