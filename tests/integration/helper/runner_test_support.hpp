#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "helper/open_connect_runner.hpp"
#include "platform/codesign/code_signer.hpp"
#include "platform/codesign/signing_identity.hpp"
#include "platform/log/capturing_sink.hpp"
#include "platform/log/system_log.hpp"
#include "platform/process/pipe.hpp"
#include "tests/fakes/fake_openconnect_control.hpp"

namespace vantreel::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Generous: the machine running the tests may be heavily loaded or sanitized.
inline constexpr auto kBound = std::chrono::seconds(30);

// A private temporary folder, removed with everything in it.
class RunnerScratch {
 public:
  RunnerScratch() {
    std::string pattern = (fs::temp_directory_path() / "vt-runner-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    }
  }
  ~RunnerScratch() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  RunnerScratch(const RunnerScratch&) = delete;
  RunnerScratch& operator=(const RunnerScratch&) = delete;

  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// A copy of the signed test bundle (the scripted OpenConnect stand-in, unsigned itself, under
// the bundle's seal) that a test may change and seal again.
class TestBundle {
 public:
  explicit TestBundle(const fs::path& parent) : path_(parent / "Vantreel.app") {
    fs::copy(VT_RUNNER_TEST_BUNDLE, path_,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }

  [[nodiscard]] const fs::path& path() const { return path_; }
  [[nodiscard]] fs::path root() const { return path_ / "Contents/Resources/extra/openconnect"; }
  [[nodiscard]] fs::path program(const std::string& arch) const {
    return root() / arch / "openconnect";
  }
  [[nodiscard]] fs::path script() const { return root() / "vpnc-script"; }

  static platform::codesign::SigningIdentity identity(const std::string& name) {
    const std::string dir = VT_IDENTITY_DIR;
    auto loaded = platform::codesign::SigningIdentity::load(dir + "/" + name + ".key",
                                                            dir + "/" + name + ".pem", "");
    EXPECT_TRUE(loaded.has_value());
    return std::move(loaded).value();
  }

  void reseal(const std::string& identityName = "dev-signing") const {
    const auto sealed = platform::codesign::CodeSigner::sealBundle(
        path_.string(), "org.vantreel.desktop", identity(identityName));
    ASSERT_TRUE(sealed.has_value()) << sealed.error();
  }

  // Breaks the seal without touching the OpenConnect items.
  void breakSeal() const { writeFile(path_ / "Contents/Resources/added", "unsealed"); }

 private:
  fs::path path_;
};

// Everything a runner calls back with, collected for the test to wait on.
class Observed : public std::enable_shared_from_this<Observed> {
 public:
  OpenConnectRunner::ExitCallback exitCallback() {
    return [self = shared_from_this()](std::int32_t status) {
      std::scoped_lock guard(self->lock_);
      self->exits_.push_back(status);
      self->changed_.notify_all();
    };
  }
  OpenConnectRunner::LogHandler logHandler() {
    return [self = shared_from_this()](const std::string& line) {
      std::scoped_lock guard(self->lock_);
      self->lines_.push_back(line);
      self->changed_.notify_all();
    };
  }

  std::optional<std::int32_t> waitForExit(std::chrono::seconds bound = kBound) {
    std::unique_lock guard(lock_);
    if (!changed_.wait_for(guard, bound, [this] { return !exits_.empty(); })) {
      return std::nullopt;
    }
    return exits_.front();
  }
  bool waitForLine(const std::string& line, std::chrono::seconds bound = kBound) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, bound, [&] {
      return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    });
  }
  std::vector<std::string> lines() const {
    std::scoped_lock guard(lock_);
    return lines_;
  }
  std::vector<std::int32_t> exits() const {
    std::scoped_lock guard(lock_);
    return exits_;
  }

 private:
  mutable std::mutex lock_;  // guards exits_ and lines_
  std::condition_variable changed_;
  std::vector<std::int32_t> exits_;
  std::vector<std::string> lines_;
};

// The read end of a password pipe whose writer wrote bytes and, unless keepOpen, closed.
struct PasswordPipe {
  std::shared_ptr<platform::process::FileHandle> reading;
  std::shared_ptr<platform::process::FileHandle> writing;

  static PasswordPipe with(const std::string& bytes, bool keepOpen = false) {
    auto pipe = platform::process::Pipe::make();
    EXPECT_TRUE(pipe.has_value());
    PasswordPipe made{pipe->fileHandleForReading(), pipe->fileHandleForWriting()};
    if (!bytes.empty()) {
      EXPECT_TRUE(made.writing->writeData(bytes).has_value());
    }
    if (!keepOpen) {
      EXPECT_TRUE(made.writing->close().has_value());
    }
    return made;
  }
};

// Polls condition until it holds or the bound has passed.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::seconds bound = kBound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A runner over scratch directories, a copy of the test bundle and a PEM file of its own.
class RunnerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch.path().empty());
    fs::create_directories(scratch.path() / "copies");
    writeFile(scratch.path() / "roots.pem", kPem);
    environment.exportDirectory = (scratch.path() / "export").string();
    environment.certificateSource.file = (scratch.path() / "roots.pem").string();
    environment.copiesDirectory = (scratch.path() / "copies").string();
    environment.removeHostRoute = [](const std::string&) { return false; };
    previousSink_ = platform::log::setSink(log);
  }

  void TearDown() override {
    if (runner_ && runner_->currentPid() != 0) {
      (void)runner_->stop();
      eventually([this] { return runner_->currentPid() == 0; });
    }
    for (const auto& user : users_) {
      FakeOpenConnect::removeScenario(user);
    }
    platform::log::setSink(previousSink_);
  }

  OpenConnectRunner& runner() {
    if (!runner_) {
      runner_ = OpenConnectRunner::create(environment);
    }
    return *runner_;
  }

  // A user name of this test's own, with its scenario installed.
  std::string scenario(const std::string& user, const FakeOpenConnect::Scenario& steps) {
    FakeOpenConnect::writeScenario(user, steps);
    users_.push_back(user);
    return user;
  }

  tl::expected<void, RunnerError> start(const std::string& user, const std::string& password,
                                        std::optional<std::string> pin = std::nullopt,
                                        const std::string& server = "localhost") {
    auto pipe = PasswordPipe::with(password);
    return runner().start(HelperStartRequest(server, user, std::move(pin)), *pipe.reading,
                          bundle.path().string(), observed->exitCallback(), observed->logHandler());
  }

  // Entries of the copies directory, one per child whose exit is not handled yet (beside the
  // verified copies kept for the next start).
  std::size_t copiesLeft() const {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(scratch.path() / "copies")) {
      count += entry.path().filename() == "verified" ? 0 : 1;
    }
    return count;
  }

  static constexpr const char* kPem =
      "-----BEGIN CERTIFICATE-----\nMIIBroot\n-----END CERTIFICATE-----\n";

  RunnerScratch scratch;
  TestBundle bundle{scratch.path()};
  RunnerSettings environment;
  std::shared_ptr<Observed> observed = std::make_shared<Observed>();
  std::shared_ptr<platform::log::CapturingSink> log =
      std::make_shared<platform::log::CapturingSink>();

 private:
  std::shared_ptr<OpenConnectRunner> runner_;
  std::vector<std::string> users_;
  std::shared_ptr<platform::log::LogSink> previousSink_;
};

}  // namespace vantreel::testing
