#include "helperctl/helper_install.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/service/host.hpp"
#include "platform/service/layout.hpp"
#include "shared/constants.hpp"

namespace vantreel {
namespace {

namespace fs = std::filesystem;
using platform::service::Layout;
using platform::service::RegistrationStatus;

class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "vt-install-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void writeFile(const fs::path& path, const std::string& text, fs::perms perms) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
  fs::permissions(path, perms);
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RecordingRunner final : public platform::service::AdminRunner {
 public:
  platform::posix::SysResult<platform::service::CommandOutcome> run(
      const std::vector<std::string>& arguments) override {
    calls.push_back(arguments);
    return reply;
  }
  std::vector<std::vector<std::string>> calls;
  platform::posix::SysResult<platform::service::CommandOutcome> reply =
      platform::service::CommandOutcome{};
};

class FakeRegistry final : public platform::service::ServiceRegistry {
 public:
  RegistrationStatus status(const std::string& plistName) override {
    asked.push_back(plistName);
    return current;
  }
  platform::posix::SysResult<void> unregister(const std::string& plistName) override {
    unregistered.push_back(plistName);
    return tl::unexpected(platform::posix::SysError{EPERM, "unregister"});
  }
  RegistrationStatus current = RegistrationStatus::notFound;
  std::vector<std::string> asked;
  std::vector<std::string> unregistered;
};

TEST(InstallMethod, RawValuesRoundTripAndOtherTextsYieldNothing) {
  EXPECT_EQ(rawValue(InstallMethod::launchd), "launchd");
  EXPECT_EQ(rawValue(InstallMethod::none), "none");
  EXPECT_EQ(installMethodFromRawValue("launchd"), InstallMethod::launchd);
  EXPECT_EQ(installMethodFromRawValue("none"), InstallMethod::none);
  for (const char* text : {"", "Launchd", "launchd ", "systemd", "NONE"}) {
    EXPECT_FALSE(installMethodFromRawValue(text).has_value()) << text;
  }
}

TEST(CurrentState, FourRulesInOrder) {
  const std::string& bundled = Constants::helperVersion();
  const InstallStatus notInstalled{"not_installed", InstallMethod::none, ""};
  EXPECT_EQ(HelperInstall::currentState(true, std::nullopt), notInstalled);
  EXPECT_EQ(HelperInstall::currentState(false, std::nullopt), notInstalled);
  EXPECT_EQ(HelperInstall::currentState(true, bundled),
            (InstallStatus{"ready", InstallMethod::launchd, ""}));
  EXPECT_EQ(HelperInstall::currentState(false, bundled), notInstalled);
  const InstallStatus mismatch{"version_mismatch", InstallMethod::launchd,
                               "installed 0.9, bundled " + bundled};
  EXPECT_EQ(HelperInstall::currentState(true, "0.9"), mismatch);
  EXPECT_EQ(HelperInstall::currentState(false, "0.9"), mismatch);
  // Exact text equality: a version with a blank after it is another version.
  EXPECT_EQ(HelperInstall::currentState(true, bundled + " ").state, "version_mismatch");
}

class BundleSearch : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
};

TEST_F(BundleSearch, LooksAtThePathAndItsSevenNearestParents) {
  const fs::path bundle = scratch.path() / "Vantreel.app";
  fs::path deep = bundle;
  for (const char* part : {"a", "b", "c", "d", "e", "f", "g"}) {
    deep /= part;
  }
  fs::create_directories(deep);
  // Seven parents up is the eighth look; one level deeper is out of reach.
  EXPECT_EQ(HelperInstall::hostAppBundle(deep.string()), bundle.string());
  fs::create_directories(deep / "h");
  EXPECT_EQ(HelperInstall::hostAppBundle((deep / "h").string()), std::nullopt);
  EXPECT_EQ(HelperInstall::hostAppBundle(bundle.string()), bundle.string());
  EXPECT_EQ(HelperInstall::hostAppBundle(std::nullopt), std::nullopt);
}

TEST_F(BundleSearch, ExtensionMustBeExactlyApp) {
  for (const char* name : {"Vantreel.APP", "Vantreel.apps", "Vantreel.app.bak", "app", ".app"}) {
    const fs::path tool = scratch.path() / name / "Contents" / "MacOS" / "vantreel-helperctl";
    EXPECT_EQ(HelperInstall::hostAppBundle(tool.string()), std::nullopt) << name;
  }
  const fs::path tool = scratch.path() / "x.y.app" / "Contents" / "MacOS" / "vantreel-helperctl";
  EXPECT_EQ(HelperInstall::hostAppBundle(tool.string()), (scratch.path() / "x.y.app").string());
}

TEST_F(BundleSearch, ResolvesSymbolicLinksFirst) {
  const fs::path bundle = scratch.path() / "real" / "Vantreel.app";
  const fs::path tool = bundle / "Contents" / "MacOS" / "vantreel-helperctl";
  writeFile(tool, "#!/bin/sh\n", fs::perms::owner_all);
  // A link outside any bundle that leads into one finds that bundle ...
  fs::create_directories(scratch.path() / "bin");
  fs::create_symlink(tool, scratch.path() / "bin" / "vantreel-helperctl");
  EXPECT_EQ(HelperInstall::hostAppBundle((scratch.path() / "bin" / "vantreel-helperctl").string()),
            bundle.string());
  // ... and a link named like a bundle that leads elsewhere finds none.
  fs::create_symlink(scratch.path() / "bin", scratch.path() / "Fake.app");
  EXPECT_EQ(HelperInstall::hostAppBundle((scratch.path() / "Fake.app").string()), std::nullopt);
}

TEST_F(BundleSearch, MainBundleFirstThenTheArgument) {
  const fs::path bundle = scratch.path() / "Vantreel.app";
  const fs::path other = scratch.path() / "Other.app";
  fs::create_directories(bundle / "Contents" / "MacOS");
  fs::create_directories(other / "Contents" / "MacOS");
  const std::string argument = (other / "Contents" / "MacOS" / "vantreel-helperctl").string();
  EXPECT_EQ(HelperInstall::helperCtlAppBundle(bundle.string(), argument), bundle.string());
  EXPECT_EQ(HelperInstall::helperCtlAppBundle(scratch.path().string(), argument), other.string());
  EXPECT_EQ(HelperInstall::helperCtlAppBundle(std::nullopt, std::nullopt), std::nullopt);
}

class Install : public ::testing::Test {
 protected:
  Install() {
    bundle = scratch.path() / "Vantreel.app";
    helper = bundle / "Contents" / "Library" / "LaunchDaemons" / "org.vantreel.desktop.helper";
    writeFile(helper, "#!/bin/sh\n", fs::perms::owner_all);
    fs::create_directories(scratch.path() / "tmp");
    env.layout = Layout::darwin(scratch.path().string());
    env.adminRunner = runner;
    env.registry = registry;
    env.firstArgument = (bundle / "Contents" / "MacOS" / "vantreel-helperctl").string();
    env.mainBundle = std::nullopt;
    env.temporaryDirectory = (scratch.path() / "tmp").string();
  }

  ScratchDirectory scratch;
  fs::path bundle;
  fs::path helper;
  std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>();
  std::shared_ptr<FakeRegistry> registry = std::make_shared<FakeRegistry>();
  InstallEnvironment env;
};

TEST_F(Install, StagesThePropertyListAndRunsTheScriptUnderTheAdminPrompt) {
  auto result = HelperInstall::install(false, env);
  ASSERT_TRUE(result) << result.error().description;
  EXPECT_EQ(*result, (InstallStatus{"ready", InstallMethod::launchd,
                                    "registered via launchd (admin prompt)"}));
  const fs::path staged = scratch.path() / "tmp" / "org.vantreel.desktop.helperd.plist";
  EXPECT_EQ(readFile(staged), env.layout.jobDocument(HelperInstall::serviceNames()));
  ASSERT_EQ(runner->calls.size(), 1U);
  const auto script =
      env.layout.installScript(HelperInstall::serviceNames(), helper.string(), staged.string());
  EXPECT_EQ(runner->calls[0], env.layout.adminCommand(script, false));
  EXPECT_EQ(registry->asked, std::vector<std::string>{"org.vantreel.desktop.helper.plist"});
  EXPECT_TRUE(registry->unregistered.empty());

  // A second installation does the whole job again, and replace changes nothing.
  ASSERT_TRUE(HelperInstall::install(true, env));
  ASSERT_EQ(runner->calls.size(), 2U);
  EXPECT_EQ(runner->calls[1], runner->calls[0]);
}

TEST_F(Install, OlderRegistrationIsRemovedAndItsFailureIgnored) {
  for (auto status : {RegistrationStatus::enabled, RegistrationStatus::requiresApproval}) {
    registry->current = status;
    registry->unregistered.clear();
    EXPECT_TRUE(HelperInstall::install(false, env));
    EXPECT_EQ(registry->unregistered,
              std::vector<std::string>{"org.vantreel.desktop.helper.plist"});
  }
  registry->current = RegistrationStatus::notRegistered;
  registry->unregistered.clear();
  EXPECT_TRUE(HelperInstall::uninstall(env));
  EXPECT_TRUE(registry->unregistered.empty());
}

TEST_F(Install, MissingOrUnusableHelperIsCode3WithoutPrompt) {
  fs::permissions(helper, fs::perms::owner_read | fs::perms::owner_write);
  if (::geteuid() != 0) {
    auto result = HelperInstall::install(false, env);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, 3);
  }
  fs::remove(helper);
  fs::create_directories(helper);  // a directory is never the helper, however executable
  auto result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().domain, "org.vantreel.desktop.helperctl");
  EXPECT_EQ(result.error().code, 3);
  EXPECT_EQ(result.error().description, "helper binary missing from the app bundle");
  EXPECT_TRUE(runner->calls.empty());
}

TEST_F(Install, AdminFailureCarriesStatusAndStandardErrorAsRead) {
  runner->reply = platform::service::CommandOutcome{1, "execution error: User canceled. (-128)\n"};
  auto result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().domain, "org.vantreel.desktop.helperctl");
  EXPECT_EQ(result.error().code, 1);
  EXPECT_EQ(result.error().description, "execution error: User canceled. (-128)\n");

  for (const std::string bad : {"\xff\xfe", "ok\xc0\xaf", "\xed\xa0\x80", "trunc\xe2\x82"}) {
    runner->reply = platform::service::CommandOutcome{5, bad};
    result = HelperInstall::install(false, env);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, 5);
    EXPECT_EQ(result.error().description, "osascript failed");
  }
  runner->reply = platform::service::CommandOutcome{2, "caf\xc3\xa9 \xf0\x9f\x94\x92"};
  result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description, "caf\xc3\xa9 \xf0\x9f\x94\x92");

  runner->reply = tl::unexpected(platform::posix::SysError{ENOENT, "spawn /usr/bin/osascript"});
  result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(result.error().code, ENOENT);
  EXPECT_EQ(result.error().description, "spawn /usr/bin/osascript: No such file or directory");
}

TEST_F(Install, StagingFailureIsPassedOn) {
  env.temporaryDirectory = (scratch.path() / "absent").string();
  auto result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(result.error().code, ENOENT);
  EXPECT_TRUE(runner->calls.empty());
}

TEST_F(Install, UninstallPromptsOnlyWhenSomethingIsInstalled) {
  const InstallStatus removed{"not_installed", InstallMethod::none, "unregistered"};
  EXPECT_EQ(HelperInstall::uninstall(env), removed);
  EXPECT_TRUE(runner->calls.empty());

  const auto& names = HelperInstall::serviceNames();
  for (const auto& path : {env.layout.legacyJobPath(names), env.layout.installedHelperPath(names),
                           env.layout.installedJobPath(names)}) {
    runner->calls.clear();
    writeFile(path, "x", fs::perms::owner_read);
    EXPECT_EQ(HelperInstall::uninstall(env), removed);
    ASSERT_EQ(runner->calls.size(), 1U) << path;
    EXPECT_EQ(runner->calls[0], env.layout.adminCommand(env.layout.uninstallScript(names), false));
    fs::remove(path);
  }

  writeFile(env.layout.installedHelperPath(names), "x", fs::perms::owner_read);
  runner->reply = platform::service::CommandOutcome{1, "denied"};
  auto result = HelperInstall::uninstall(env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description, "denied");
}

TEST_F(Install, LinuxLayoutRefusesWithoutSystemd) {
  env.layout = Layout::linux(scratch.path().string());
  auto result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().domain, "org.vantreel.desktop.helperctl");
  EXPECT_EQ(result.error().description,
            "systemd is not running; cannot install org.vantreel.desktop.helperd");
  writeFile(env.layout.installedHelperPath(HelperInstall::serviceNames()), "x",
            fs::perms::owner_read);
  result = HelperInstall::uninstall(env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description,
            "systemd is not running; cannot uninstall org.vantreel.desktop.helperd");
  EXPECT_TRUE(runner->calls.empty());

  fs::create_directories(scratch.path() / "run" / "systemd" / "system");
  env.callerIsRoot = true;
  runner->reply = platform::service::CommandOutcome{3, ""};
  result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, 3);
  EXPECT_EQ(result.error().description, "sh failed");
  ASSERT_EQ(runner->calls.size(), 1U);
  EXPECT_EQ(runner->calls[0].front(), "/bin/sh");

  // Root runs the script without any prompt, and the detail says so; pkexec prompts.
  runner->reply = platform::service::CommandOutcome{};
  EXPECT_EQ(HelperInstall::install(false, env)->detail, "registered via systemd (as root)");
  env.callerIsRoot = false;
  EXPECT_EQ(HelperInstall::install(false, env)->detail, "registered via systemd (admin prompt)");
  EXPECT_EQ(runner->calls.back().front(), "/usr/bin/pkexec");
}

TEST(AwaitDaemon, ReadyOnlyOnceTheDaemonAnswersWithinTheBound) {
  using namespace std::chrono_literals;
  const InstallStatus installed{"ready", InstallMethod::launchd,
                                "registered via systemd (as root)"};
  int asked = 0;
  const auto answersThirdTime = [&]() -> std::optional<std::string> {
    return ++asked < 3 ? std::nullopt : std::optional<std::string>("1.0.2");
  };
  EXPECT_EQ(HelperInstall::awaitDaemon(installed, answersThirdTime, 5s, 1ms), installed);
  EXPECT_EQ(asked, 3);

  asked = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto never = [&]() -> std::optional<std::string> {
    ++asked;
    return std::nullopt;
  };
  EXPECT_EQ(HelperInstall::awaitDaemon(installed, never, 300ms, 20ms),
            (InstallStatus{"not_installed", InstallMethod::none,
                           "registered via systemd (as root); the daemon did not answer within "
                           "0.3 s"}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_GT(asked, 3);
  EXPECT_EQ(HelperInstall::awaitDaemon(installed, never, 10s, 10s).detail,
            "registered via systemd (as root); the daemon did not answer within 10 s");
}

}  // namespace
}  // namespace vantreel

namespace vantreel {
namespace {

TEST(RunningProcess, FirstArgumentAndMainBundleComeFromProc) {
  const auto first = platform::service::firstProcessArgument();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(
      platform::service::lastPathComponent(*first),
      platform::service::lastPathComponent(platform::service::resolvingSymlinks("/proc/self/exe")));
  EXPECT_EQ(platform::service::mainBundleLocation(),
            platform::service::deletingLastPathComponent(
                platform::service::resolvingSymlinks("/proc/self/exe")));

  EXPECT_EQ(platform::service::bundleLocationOfExecutable(
                "/Applications/Vantreel.app/Contents/MacOS/vantreel-helperctl"),
            "/Applications/Vantreel.app");
  EXPECT_EQ(platform::service::bundleLocationOfExecutable("/usr/local/bin/vantreel-helperctl"),
            "/usr/local/bin");
  EXPECT_EQ(platform::service::bundleLocationOfExecutable("/x/MacOS/tool"), "/x/MacOS");
}

}  // namespace
}  // namespace vantreel
