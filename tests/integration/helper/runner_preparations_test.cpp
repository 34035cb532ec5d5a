#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "helper/stale_host_routes.hpp"
#include "helper/system_roots.hpp"
#include "platform/log/capturing_sink.hpp"
#include "platform/log/system_log.hpp"
#include "tests/integration/helper/runner_test_support.hpp"

namespace vantreel::testing {
namespace {

class RunnerPreparations : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch.path().empty());
    environment.exportDirectory = (scratch.path() / "run" / "helper").string();
    environment.certificateSource.file = source.string();
    environment.removeHostRoute = [this](const std::string& address) {
      return StaleHostRoutes::runRouteCommand(
          {routeStandIn.string(), "-4", "route", "del", address + "/32"});
    };
    // Records its arguments; a deletion of 10.9.9.2 fails, as for a route that is not there.
    writeFile(routeStandIn, "#!/bin/sh\necho \"$*\" >> '" + routeLog.string() +
                                "'\ncase \"$4\" in 10.9.9.2/32) exit 1;; esac\nexit 0\n");
    fs::permissions(routeStandIn, fs::perms(0755));
    previousSink = platform::log::setSink(log);
  }
  void TearDown() override { platform::log::setSink(previousSink); }

  [[nodiscard]] fs::path exported() const {
    return fs::path(environment.exportDirectory) / "system-roots.pem";
  }

  std::vector<std::string> routeCommands() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(routeLog));
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    return lines;
  }

  RunnerScratch scratch;
  fs::path source = scratch.path() / "ca-certificates.crt";
  fs::path routeStandIn = scratch.path() / "route";
  fs::path routeLog = scratch.path() / "route.log";
  RunnerSettings environment;
  std::shared_ptr<platform::log::CapturingSink> log =
      std::make_shared<platform::log::CapturingSink>();
  std::shared_ptr<platform::log::LogSink> previousSink;
};

const std::string kRoots =
    "# Zertifikatsb\xC3\xBCndel\n-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"
    "-----BEGIN CERTIFICATE-----\nMIIC\n-----END CERTIFICATE-----\n";

TEST_F(RunnerPreparations, ExportWritesTheWholeSourceFromAFileOrACommand) {
  writeFile(source, kRoots);
  EXPECT_EQ(SystemRoots::exportFor(environment), exported().string());
  EXPECT_EQ(readFile(exported()), kRoots);
  struct stat info {};
  ASSERT_EQ(::stat(environment.exportDirectory.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755U);

  fs::remove(exported());
  environment.certificateSource = {{"/bin/cat", source.string()}, {}};
  EXPECT_EQ(SystemRoots::exportFor(environment), exported().string());
  EXPECT_EQ(readFile(exported()), kRoots);

  environment.certificateSource = {{(scratch.path() / "no-such-command").string()}, {}};
  EXPECT_EQ(SystemRoots::exportFor(environment), std::nullopt);
}

TEST_F(RunnerPreparations, ExportWithoutCertificatesLeavesTheOldFileAndYieldsNone) {
  writeFile(source, kRoots);
  ASSERT_TRUE(SystemRoots::exportFor(environment).has_value());
  for (const std::string& bad :
       {std::string("no certificate here\n"),
        std::string("-----BEGIN CERTIFICATE-----\n\xFF\xFE\n"), std::string()}) {
    writeFile(source, bad);
    EXPECT_EQ(SystemRoots::exportFor(environment), std::nullopt);
    EXPECT_EQ(readFile(exported()), kRoots);
  }
  fs::remove(source);
  EXPECT_EQ(SystemRoots::exportFor(environment), std::nullopt);
  EXPECT_EQ(readFile(exported()), kRoots);
}

TEST_F(RunnerPreparations, FailedWriteYieldsNone) {
  writeFile(source, kRoots);
  // Where the export file should go sits a directory, so the file cannot be replaced.
  fs::create_directories(exported());
  EXPECT_EQ(SystemRoots::exportFor(environment), std::nullopt);
  // The export directory is a file.
  environment.exportDirectory = source.string();
  EXPECT_EQ(SystemRoots::exportFor(environment), std::nullopt);
  EXPECT_EQ(readFile(source), kRoots);
}

TEST_F(RunnerPreparations, RouteDeletionForTheHostPartOnlyAndLoggedOnSuccess) {
  StaleHostRoutes::remove("127.0.0.1:8443/group/path", environment);
  EXPECT_EQ(routeCommands(), std::vector<std::string>{"-4 route del 127.0.0.1/32"});
  EXPECT_EQ(log->messages(), std::vector<std::string>{"removed stale host route to 127.0.0.1"});

  fs::remove(routeLog);
  StaleHostRoutes::remove("[::1]:443", environment);
  StaleHostRoutes::remove("", environment);
  EXPECT_TRUE(routeCommands().empty());
}

TEST_F(RunnerPreparations, AStuckNameLookupIsGivenUpAtItsBound) {
  environment.hostLookupBound = 200ms;
  // Shared with the lookup, which outlives the step that gave up on it.
  struct Gate {
    std::mutex mutex;  // guards release
    std::condition_variable released;
    bool release = false;
  };
  const auto gate = std::make_shared<Gate>();
  environment.hostLookup = [gate](const std::string&) {
    std::unique_lock lock(gate->mutex);
    gate->released.wait(lock, [&] { return gate->release; });
    return std::vector<std::string>{"10.9.9.1"};
  };
  const auto threads = [] {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) {
      ++count;
    }
    return count;
  };
  // ThreadSanitizer's runtime starts a thread of its own with the process's first new thread:
  // counted only once one has come and gone.
  std::thread([] {}).join();
  const std::size_t idle = threads();
  auto removal = std::async(std::launch::async,
                            [&] { StaleHostRoutes::remove("stuck.vt.test", environment); });
  const bool returned = removal.wait_for(kBound) == std::future_status::ready;
  removal.wait();
  EXPECT_TRUE(returned) << "the route step waited for the resolver";
  EXPECT_EQ(log->messages(),
            std::vector<std::string>{"skipped removing stale host routes to stuck.vt.test: its "
                                     "name lookup took longer than 200 ms"});

  // A caller who starts and stops in a loop: the lookups left behind stay few, and every one
  // goes once the resolver answers.
  environment.hostLookupBound = 1ms;
  for (int round = 0; round < 200; ++round) {
    StaleHostRoutes::remove("stuck.vt.test", environment);
  }
  EXPECT_LE(threads(), idle + 4);
  {
    std::scoped_lock lock(gate->mutex);
    gate->release = true;
  }
  gate->released.notify_all();
  // The reaper that joins them keeps one thread for the process's life.
  EXPECT_TRUE(eventually([&] { return threads() <= idle + 1; })) << threads() << " threads";
  EXPECT_TRUE(routeCommands().empty());
}

// Resolves a name of several IPv4 addresses from a hosts file of the test's own, seen only by
// one thread through a private mount namespace.
TEST_F(RunnerPreparations, OneRouteDeletionPerDistinctAddress) {
  const fs::path hosts = scratch.path() / "hosts";
  writeFile(hosts,
            "10.9.9.1 multi.vt.test\n10.9.9.2 multi.vt.test\n10.9.9.1 multi.vt.test\n"
            "10.9.9.3 multi.vt.test\n2001:db8::5 v6only.vt.test\n");
  std::string skipped;
  std::vector<std::string> commandsForV6;
  std::thread([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
      skipped = "no private mount namespace here";
      return;
    }
    StaleHostRoutes::remove("v6only.vt.test", environment);
    commandsForV6 = routeCommands();
    StaleHostRoutes::remove("multi.vt.test/path", environment);
  }).join();
  if (!skipped.empty()) {
    GTEST_SKIP() << skipped;
  }
  EXPECT_TRUE(commandsForV6.empty());
  EXPECT_EQ(routeCommands(),
            (std::vector<std::string>{"-4 route del 10.9.9.1/32", "-4 route del 10.9.9.2/32",
                                      "-4 route del 10.9.9.3/32"}));
  EXPECT_EQ(log->messages(), (std::vector<std::string>{"removed stale host route to 10.9.9.1",
                                                       "removed stale host route to 10.9.9.3"}));
}

}  // namespace
}  // namespace vantreel::testing
