#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "helper/bundle_items.hpp"
#include "tests/integration/helper/runner_test_support.hpp"

namespace vantreel::testing {
namespace {

const std::string kNative = BundleItems::currentDarwinArch();

tl::expected<std::string, RunnerError> resolveOpenConnect(const std::string& appBundle) {
  return BundleItems::openConnect(appBundle).map(&BundleItems::VerifiedItem::path);
}

tl::expected<std::string, RunnerError> resolveVpncScript(const std::string& appBundle) {
  return BundleItems::vpncScript(appBundle).map(&BundleItems::VerifiedItem::path);
}

tl::expected<void, RunnerError> verifyBundled(const std::string& item,
                                              const std::string& appBundle) {
  return BundleItems::verify(item, appBundle).map([](const BundleItems::VerifiedItem&) {});
}
const std::string kOther = kNative == "darwin-arm64" ? "darwin-amd64" : "darwin-arm64";

// Runs body on a thread of its own whose effective set lacks the capabilities that let root
// read any file, so that file modes apply to it as to anyone. Capabilities are per thread.
template <class Body>
auto withoutFileOverrides(Body body) {
  std::optional<decltype(body())> result;
  std::thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
    data[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
    ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
    result = body();
  }).join();
  return result;
}

class RunnerResolution : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& arch : {kNative, kOther}) {
      if (fs::exists(bundle.program(arch))) {
        program = readFile(bundle.program(arch));
      }
    }
    ASSERT_FALSE(program.empty());
  }

  // Puts the stand-in program in the given processor directories only, and seals the bundle.
  void placeProgram(const std::vector<std::string>& arches, bool executable = true) {
    for (const auto& arch : {kNative, kOther}) {
      fs::remove_all(bundle.root() / arch);
    }
    for (const auto& arch : arches) {
      fs::create_directories(bundle.root() / arch);
      writeFile(bundle.program(arch), program);
      fs::permissions(bundle.program(arch), executable ? fs::perms(0755) : fs::perms(0644));
    }
    bundle.reseal();
  }

  [[nodiscard]] std::string bundlePath() const { return bundle.path().string(); }

  RunnerScratch scratch;
  TestBundle bundle{scratch.path()};
  std::string program;
};

TEST_F(RunnerResolution, PrefersTheNativeBuildAndFallsBackToTheOther) {
  placeProgram({kNative, kOther});
  EXPECT_EQ(resolveOpenConnect(bundlePath()), bundle.program(kNative).string());
  placeProgram({kOther});
  EXPECT_EQ(resolveOpenConnect(bundlePath()), bundle.program(kOther).string());
  placeProgram({});
  EXPECT_EQ(resolveOpenConnect(bundlePath()).error(), RunnerError::openConnectMissing());
  placeProgram({kNative, kOther}, false);
  EXPECT_EQ(resolveOpenConnect(bundlePath()).error().errorDescription(),
            "bundled OpenConnect binary not found inside the signed app");
}

TEST_F(RunnerResolution, FollowsLinksOnlyToAdmittedItemsOfTheSameBundle) {
  placeProgram({kOther});
  fs::create_directories(bundle.root() / kNative);
  fs::create_symlink("../" + kOther + "/openconnect", bundle.program(kNative));
  bundle.reseal();
  // The native link resolves to the other build's real path, which PATH then names.
  EXPECT_EQ(resolveOpenConnect(bundlePath()), bundle.program(kOther).string());

  fs::remove(bundle.program(kNative));
  fs::create_symlink(FakeOpenConnect::executable(), bundle.program(kNative));
  bundle.reseal();
  EXPECT_EQ(resolveOpenConnect(bundlePath()).error(), RunnerError::unsignedBinary());

  fs::remove(bundle.program(kNative));
  fs::create_symlink("../../../../MacOS/Vantreel", bundle.program(kNative));
  bundle.reseal();
  ASSERT_TRUE(fs::exists(bundle.program(kNative)));
  EXPECT_EQ(resolveOpenConnect(bundlePath()).error().errorDescription(),
            "bundled OpenConnect is not inside the signed Vantreel app");

  fs::remove(bundle.script());
  fs::create_symlink(FakeOpenConnect::executable(), bundle.script());
  bundle.reseal();
  EXPECT_EQ(resolveVpncScript(bundlePath()).error(), RunnerError::unsignedBinary());
}

TEST_F(RunnerResolution, BundleReachedThroughALinkIsJudgedByItsRealPath) {
  placeProgram({kNative});
  const fs::path link = scratch.path() / "Linked.app";
  fs::create_symlink(bundle.path(), link);
  EXPECT_EQ(resolveOpenConnect(link.string()), bundle.program(kNative).string());
  EXPECT_EQ(resolveVpncScript(link.string()), bundle.script().string());
}

TEST_F(RunnerResolution, OnlyTheThreeItemsUnderTheRootAreAdmitted) {
  placeProgram({kNative});
  const fs::path library = bundle.root() / kNative / "lib" / "libopenconnect.so";
  fs::create_directories(library.parent_path());
  writeFile(library, program);
  bundle.reseal();
  EXPECT_EQ(verifyBundled(library.string(), bundlePath()).error(), RunnerError::unsignedBinary());
  EXPECT_EQ(verifyBundled(bundle.root().string(), bundlePath()).error(),
            RunnerError::unsignedBinary());
  EXPECT_EQ(
      verifyBundled((bundle.path() / "Contents/MacOS/Vantreel").string(), bundlePath()).error(),
      RunnerError::unsignedBinary());
  EXPECT_TRUE(verifyBundled(bundle.script().string(), bundlePath()));
}

TEST_F(RunnerResolution, AnItemPassesOnItsOwnSignatureOrOnTheSeal) {
  placeProgram({kNative});
  // Unsigned itself, under a valid seal.
  EXPECT_TRUE(resolveOpenConnect(bundlePath()).has_value());

  bundle.breakSeal();
  EXPECT_EQ(resolveOpenConnect(bundlePath()).error(), RunnerError::unsignedBinary());
  EXPECT_EQ(resolveVpncScript(bundlePath()).error(), RunnerError::unsignedBinary());

  const std::string item = bundle.program(kNative).string();
  ASSERT_TRUE(platform::codesign::CodeSigner::signElf(item, "org.vantreel.openconnect",
                                                      TestBundle::identity("other-team")));
  EXPECT_EQ(resolveOpenConnect(bundlePath()).error(), RunnerError::unsignedBinary());
  ASSERT_TRUE(platform::codesign::CodeSigner::signElf(item, "org.vantreel.openconnect",
                                                      TestBundle::identity("dev-signing")));
  EXPECT_EQ(resolveOpenConnect(bundlePath()), item);

  // A bundle sealed by another team vouches for nothing.
  placeProgram({kNative});
  bundle.reseal("other-team");
  EXPECT_EQ(resolveOpenConnect(bundlePath()).error(), RunnerError::unsignedBinary());
}

TEST_F(RunnerResolution, ScriptThatCannotBeReadIsMissingNotUnsigned) {
  EXPECT_EQ(resolveVpncScript(bundlePath()), bundle.script().string());

  fs::permissions(bundle.script(), fs::perms::none);
  bundle.reseal();
  const auto unreadable = withoutFileOverrides([&] { return resolveVpncScript(bundlePath()); });
  ASSERT_TRUE(unreadable.has_value());
  ASSERT_FALSE(unreadable->has_value());
  EXPECT_EQ(unreadable->error(), RunnerError::scriptMissing());

  fs::remove(bundle.script());
  fs::create_directory(bundle.script());
  bundle.reseal();
  EXPECT_EQ(resolveVpncScript(bundlePath()).error(), RunnerError::scriptMissing());

  fs::remove(bundle.script());
  fs::create_symlink("absent", bundle.script());
  bundle.reseal();
  EXPECT_EQ(resolveVpncScript(bundlePath()).error().errorDescription(),
            "bundled vpnc-script not found inside the signed app");
}

}  // namespace
}  // namespace vantreel::testing
