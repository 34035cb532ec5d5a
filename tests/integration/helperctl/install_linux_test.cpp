#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "helperctl/helper_install.hpp"
#include "platform/posix/io.hpp"
#include "platform/service/layout.hpp"
#include "platform/service/spawn_admin_runner.hpp"

// The linux layout's scripts run for real with /bin/sh against a scratch root; systemctl is a
// stand-in that records its arguments and answers with scripted statuses.
namespace vantreel {
namespace {

namespace fs = std::filesystem;
using platform::service::Layout;

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& text, fs::perms perms) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
  fs::permissions(path, perms);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    result.push_back(line);
  }
  return result;
}

class LinuxInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "installs files owned by root";
    }
    std::string pattern = (fs::temp_directory_path() / "vt-root-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    fs::create_directories(root / "run" / "systemd" / "system");
    fs::create_directories(root / "tmp");

    // The stand-in logs each call; a service's "start" takes its status from the next line of
    // start-status (0 when that runs out), so a test can script a failed first attempt.
    systemctl = root / "fake-bin" / "systemctl";
    writeFile(
        systemctl,
        "#!/bin/sh\n"
        "echo \"$*\" >> '" +
            (root / "systemctl.log").string() +
            "'\n"
            "if [ \"$1\" = start ] && [ \"${2%.service}\" != \"$2\" ]; then\n"
            "  f='" +
            (root / "start-status").string() +
            "'\n"
            "  s=$(head -n 1 \"$f\" 2>/dev/null); sed -i 1d \"$f\" 2>/dev/null\n"
            "  [ -n \"$s\" ] && [ \"$s\" != 0 ] && { echo \"start failed $s\" >&2; exit \"$s\"; }\n"
            "fi\n"
            "exit 0\n",
        fs::perms::owner_all);

    bundle = root / "home" / "Vantreel.app";
    source = bundle / "Contents" / "Library" / "LaunchDaemons" / "org.vantreel.desktop.helper";
    writeFile(source, "#!/bin/sh\necho daemon\n", fs::perms::owner_all | fs::perms::group_read);

    env.layout = Layout::linux(root.string(), systemctl.string());
    env.adminRunner = std::make_shared<platform::service::SpawnAdminRunner>();
    env.registry = nullptr;
    env.firstArgument = (bundle / "Contents" / "MacOS" / "vantreel-helperctl").string();
    env.temporaryDirectory = (root / "tmp").string();
    env.callerIsRoot = true;
  }

  void TearDown() override {
    if (!root.empty()) {
      std::error_code ignored;
      fs::remove_all(root, ignored);
    }
  }

  [[nodiscard]] std::vector<std::string> systemctlCalls() const {
    return lines(readFile(root / "systemctl.log"));
  }

  fs::path root;
  fs::path systemctl;
  fs::path bundle;
  fs::path source;
  InstallEnvironment env;
  const fs::path helperPath = "usr/local/libexec/org.vantreel.desktop.helper";
  const fs::path unitPath = "etc/systemd/system/org.vantreel.desktop.helperd.service";
  const fs::path socketPath = "etc/systemd/system/org.vantreel.desktop.helperd.socket";
  const fs::path legacyUnitPath = "etc/systemd/system/org.vantreel.desktop.helper.service";
};

struct stat statOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info;
}

TEST_F(LinuxInstall, InstallsFilesWithOwnersAndModesThenEnablesAndStarts) {
  writeFile(root / legacyUnitPath, "[Service]\n", fs::perms::owner_read);
  // An earlier, looser copy must come out with the installer's modes all the same; so must an
  // older installation's single unit, which bound its own socket.
  writeFile(root / helperPath, "old", fs::perms::all);
  writeFile(root / unitPath, "[Service]\nType=simple\n", fs::perms::all);

  auto result = HelperInstall::install(false, env);
  ASSERT_TRUE(result) << result.error().description;
  EXPECT_EQ(result->detail, "registered via systemd (as root)");

  EXPECT_EQ(readFile(root / helperPath), readFile(source));
  EXPECT_EQ(readFile(root / unitPath), env.layout.jobDocument(HelperInstall::serviceNames()));
  const auto helper = statOf(root / helperPath);
  const auto unit = statOf(root / unitPath);
  EXPECT_EQ(helper.st_mode & 07777, 0755U);
  EXPECT_EQ(unit.st_mode & 07777, 0644U);
  EXPECT_EQ(helper.st_uid, 0U);
  EXPECT_EQ(helper.st_gid, 0U);
  EXPECT_EQ(unit.st_uid, 0U);
  EXPECT_EQ(unit.st_gid, 0U);
  EXPECT_EQ(readFile(root / socketPath), env.layout.socketDocument(HelperInstall::serviceNames()));
  const auto socket = statOf(root / socketPath);
  EXPECT_EQ(socket.st_mode & 07777, 0644U);
  EXPECT_EQ(socket.st_uid, 0U);
  EXPECT_FALSE(fs::exists(root / legacyUnitPath));
  // The unit was staged in a directory of the installation's own, which is gone again.
  EXPECT_TRUE(fs::is_empty(root / "tmp"));

  EXPECT_EQ(systemctlCalls(), (std::vector<std::string>{
                                  "disable --now org.vantreel.desktop.helper.service",
                                  "stop org.vantreel.desktop.helperd.socket",
                                  "stop org.vantreel.desktop.helperd.service",
                                  "daemon-reload",
                                  "enable org.vantreel.desktop.helperd.socket "
                                  "org.vantreel.desktop.helperd.service",
                                  "start org.vantreel.desktop.helperd.socket",
                                  "start org.vantreel.desktop.helperd.service",
                              }));

  fs::remove(root / "systemctl.log");
  auto removed = HelperInstall::uninstall(env);
  ASSERT_TRUE(removed) << removed.error().description;
  EXPECT_EQ(*removed, (InstallStatus{"not_installed", InstallMethod::none, "unregistered"}));
  EXPECT_FALSE(fs::exists(root / helperPath));
  EXPECT_FALSE(fs::exists(root / unitPath));
  EXPECT_FALSE(fs::exists(root / socketPath));
  const std::vector<std::string> uninstallCalls{
      "disable --now org.vantreel.desktop.helper.service",
      "disable --now org.vantreel.desktop.helperd.socket",
      "disable --now org.vantreel.desktop.helperd.service",
      "daemon-reload",
  };
  EXPECT_EQ(systemctlCalls(), uninstallCalls);

  // Nothing left: no script runs at all.
  fs::remove(root / "systemctl.log");
  EXPECT_TRUE(HelperInstall::uninstall(env));
  EXPECT_FALSE(fs::exists(root / "systemctl.log"));

  // A socket unit left on its own still counts as installed, and goes.
  writeFile(root / socketPath, "[Socket]\n", fs::perms::owner_read);
  EXPECT_TRUE(HelperInstall::uninstall(env));
  EXPECT_FALSE(fs::exists(root / socketPath));
  EXPECT_EQ(systemctlCalls(), uninstallCalls);
}

TEST_F(LinuxInstall, StartIsRetriedOnceAfterTwoSecondsAndOnlyTheRetryCounts) {
  writeFile(root / "start-status", "1\n0\n", fs::perms::owner_all);
  auto result = HelperInstall::install(false, env);
  ASSERT_TRUE(result) << result.error().description;
  auto calls = systemctlCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "start org.vantreel.desktop.helperd.service"),
            2);

  fs::remove(root / "systemctl.log");
  writeFile(root / "start-status", "1\n4\n", fs::perms::owner_all);
  result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().domain, "org.vantreel.desktop.helperctl");
  EXPECT_EQ(result.error().code, 4);
  EXPECT_EQ(result.error().description, "start failed 1\nstart failed 4\n");
}

TEST_F(LinuxInstall, FailedFileStepStopsBeforeTheServiceManagerIsTouched) {
  // A file where the helper directory belongs makes mkdir fail.
  writeFile(root / "usr" / "local" / "libexec", "not a directory", fs::perms::owner_read);
  auto result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().code, 0);
  EXPECT_NE(result.error().description.find("libexec"), std::string::npos)
      << result.error().description;
  EXPECT_FALSE(fs::exists(root / unitPath));
  EXPECT_TRUE(fs::is_empty(root / "tmp"));
  EXPECT_EQ(systemctlCalls(), (std::vector<std::string>{
                                  "disable --now org.vantreel.desktop.helper.service",
                                  "stop org.vantreel.desktop.helperd.socket",
                                  "stop org.vantreel.desktop.helperd.service",
                              }));
}

TEST_F(LinuxInstall, StagesInAFreshPrivateDirectoryThatAnotherUsersFileCannotTakeOver) {
  // What another user may have left in a shared temporary directory under the unit's name is
  // neither written through nor in the way.
  fs::create_symlink(root / "planted-target",
                     root / "tmp" / "org.vantreel.desktop.helperd.service");
  // The stand-in records how the staged unit looked while the script ran.
  writeFile(systemctl,
            "#!/bin/sh\n"
            "if [ \"$1\" = daemon-reload ]; then\n"
            "  for d in '" +
                (root / "tmp").string() + "'/vt-install-*; do stat -c '%a %U' \"$d\" >> '" +
                (root / "staging.log").string() +
                "'; done\n"
                "fi\n"
                "exit 0\n",
            fs::perms::owner_all);
  auto result = HelperInstall::install(false, env);
  ASSERT_TRUE(result) << result.error().description;
  EXPECT_EQ(readFile(root / unitPath), env.layout.jobDocument(HelperInstall::serviceNames()));
  EXPECT_EQ(readFile(root / "staging.log"), "700 root\n");
  EXPECT_FALSE(fs::exists(root / "planted-target"));
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(root / "tmp")) {
    left.push_back(entry.path().filename());
  }
  EXPECT_EQ(left, std::vector<fs::path>{"org.vantreel.desktop.helperd.service"});
}

TEST_F(LinuxInstall, WithoutSystemdNothingIsRun) {
  fs::remove_all(root / "run");
  auto result = HelperInstall::install(false, env);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description,
            "systemd is not running; cannot install org.vantreel.desktop.helperd");
  EXPECT_FALSE(fs::exists(root / helperPath));
  EXPECT_FALSE(fs::exists(root / "systemctl.log"));

  // This machine itself runs without systemd, so the real layout says the same.
  if (!fs::is_directory("/run/systemd/system")) {
    InstallEnvironment real = env;
    real.layout = Layout::linux();
    result = HelperInstall::install(false, real);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description,
              "systemd is not running; cannot install org.vantreel.desktop.helperd");
  }
}

TEST(SpawnAdminRunner, CollectsStandardErrorAndStatusAndLeaksNoDescriptor) {
  platform::service::SpawnAdminRunner runner;
  auto leaky = platform::posix::makePipe();
  ASSERT_TRUE(leaky);
  // A descriptor without close-on-exec must not reach the child either.
  const int inheritable = ::dup(leaky->read.get());  // NOLINT(android-cloexec-dup): on purpose
  ASSERT_GE(inheritable, 0);

  auto outcome = runner.run({"/bin/sh", "-c", "ls /proc/self/fd >&2; exit 7"});
  ::close(inheritable);
  ASSERT_TRUE(outcome) << outcome.error().description();
  EXPECT_EQ(outcome->status, 7);
  // ls itself opens one descriptor for the directory it lists.
  const auto fds = lines(outcome->standardError);
  EXPECT_LE(fds.size(), 4U) << outcome->standardError;
  for (const auto& fd : fds) {
    EXPECT_LE(std::stoi(fd), 3) << outcome->standardError;
  }

  outcome = runner.run({"/bin/sh", "-c", "kill -TERM $$"});
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->status, SIGTERM);

  outcome = runner.run({"/bin/sh", "-c", "head -c 200000 /dev/zero >&2"});
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->status, 0);
  EXPECT_EQ(outcome->standardError.size(), 200000U);

  auto missing = runner.run({"/nonexistent/osascript", "-e", "x"});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ENOENT);
  EXPECT_EQ(missing.error().description(),
            "spawn /nonexistent/osascript: No such file or directory");
  EXPECT_FALSE(runner.run({"relative/sh"}));
}

}  // namespace
}  // namespace vantreel
