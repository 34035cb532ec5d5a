#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/codesign/cms_signature.hpp"
#include "platform/codesign/code_signer.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/embedded_signature.hpp"
#include "platform/posix/process_identity.hpp"
#include "platform/xpc/audit_token.hpp"
#include "shared/constants.hpp"
#include "tests/integration/codesign/scratch_dir.hpp"

extern char** environ;

namespace vantreel::platform::codesign {
namespace {

namespace fs = std::filesystem;

SigningIdentity identity(const std::string& name) {
  const std::string dir = VT_IDENTITY_DIR;
  auto loaded = SigningIdentity::load(dir + "/" + name + ".key", dir + "/" + name + ".pem", "");
  EXPECT_TRUE(loaded.has_value()) << loaded.error();
  return std::move(*loaded);
}

// A copy of the stand-in program, signed as asked (or not at all).
fs::path program(const fs::path& dir, const std::string& name, const std::string& identifier,
                 const std::string& identityName) {
  const fs::path path = dir / name;
  fs::copy_file(VT_STANDIN, path);
  if (!identifier.empty()) {
    const auto signedOk = CodeSigner::signElf(path.string(), identifier, identity(identityName));
    EXPECT_TRUE(signedOk.has_value()) << signedOk.error();
  }
  return path;
}

// The stand-in's bytes followed by a hole of `hole` bytes, under a signature whose code directory
// claims exactly that many bytes: costless to make, and a full hash of it costs about a second
// per GiB. The digest is not the content's: nothing may read far enough to find out.
fs::path sparseProgram(const fs::path& dir, const std::string& name, const std::string& identifier,
                       const std::string& identityName, std::uint64_t hole) {
  const fs::path path = dir / name;
  std::string content;
  {
    std::ifstream in(VT_STANDIN, std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::uint64_t length = content.size() + hole;
  const auto der = CmsSignature::sign({identifier, std::string(CodeDirectory::kKindElf),
                                       std::vector<std::uint8_t>(32, 0xab), length},
                                      identity(identityName));
  EXPECT_TRUE(der.has_value());
  const auto trailer = EmbeddedSignature::trailer(der ? der->size() : 0);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.seekp(static_cast<std::streamoff>(length));
  if (der) {
    out.write(reinterpret_cast<const char*>(der->data()),
              static_cast<std::streamsize>(der->size()));
  }
  out.write(reinterpret_cast<const char*>(trailer.data()),
            static_cast<std::streamsize>(trailer.size()));
  return path;
}

std::chrono::nanoseconds threadCpuTime() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// A running program that lives until the test closes its standard input.
class Running {
 public:
  explicit Running(const fs::path& path, std::vector<std::string> arguments = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return;
    }
    stdinWrite_ = fds[1];
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    const std::string file = path.string();
    arguments.insert(arguments.begin(), file);
    std::vector<char*> argv;
    for (auto& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    // glibc's posix_spawn returns once the child has executed the program, so /proc/<pid>/exe
    // names it from here on.
    if (::posix_spawn(&pid_, file.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
  }
  ~Running() { stop(); }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

  void stop() {
    if (stdinWrite_ >= 0) {
      ::close(stdinWrite_);
      stdinWrite_ = -1;
    }
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }

  [[nodiscard]] std::array<std::byte, xpc::AuditToken::kSize> token(
      std::int64_t startShift = 0) const {
    const auto start = posix::processStartTime(pid_);
    EXPECT_TRUE(start.has_value());
    return xpc::AuditToken::make(pid_, ::getuid(), ::getgid(),
                                 start.value_or(0) + static_cast<std::uint64_t>(startShift))
        .bytes();
  }
  [[nodiscard]] pid_t pid() const { return pid_; }
  void send(const std::string& line) const {
    ASSERT_EQ(::write(stdinWrite_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }

 private:
  pid_t pid_ = -1;
  int stdinWrite_ = -1;
};

class RunningCode : public ::testing::Test {
 protected:
  CodeSigning& services = CodeSigning::real();
  testing::ScratchDir scratch;

  std::shared_ptr<SecRequirement> callerRequirement() {
    auto requirement =
        services.SecRequirementCreateWithString(Constants::codeSigningRequirement(), 0);
    EXPECT_TRUE(requirement.has_value());
    return requirement.value_or(nullptr);
  }

  OSStatus check(const fs::path& path) {
    Running process(path);
    auto code = services.SecCodeCopyGuestWithAttributes(process.token(), 0);
    if (!code) {
      return code.error();
    }
    return services.SecCodeCheckValidity(*code, 0, callerRequirement());
  }
};

TEST_F(RunningCode, CallerRequirementAdmitsTheControlToolAndTheApp) {
  EXPECT_EQ(check(program(scratch.path(), "ctl", "org.vantreel.desktop.helperctl", "dev-signing")),
            errSecSuccess);
  EXPECT_EQ(check(program(scratch.path(), "app", "org.vantreel.desktop", "dev-signing")),
            errSecSuccess);
}

TEST_F(RunningCode, CallerRequirementRefusesEveryOtherProgram) {
  const auto& dir = scratch.path();
  EXPECT_EQ(check(program(dir, "unsigned", "", "")), errSecCSUnsigned);
  EXPECT_EQ(check(program(dir, "other-team", "org.vantreel.desktop", "other-team")),
            errSecCSReqFailed);
  EXPECT_EQ(check(program(dir, "daemon-id", "org.vantreel.desktop.helper", "dev-signing")),
            errSecCSReqFailed);
  EXPECT_EQ(check(program(dir, "foreign", "org.vantreel.desktop", "foreign-signing")),
            errSecCSReqFailed);
  EXPECT_EQ(check(program(dir, "no-eku", "org.vantreel.desktop", "no-codesigning")),
            errSecCSReqFailed);

  // One byte of the program changed after signing; the program still runs.
  const fs::path changed = program(dir, "changed", "org.vantreel.desktop", "dev-signing");
  std::string bytes;
  {
    std::ifstream in(changed, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const auto at = bytes.find("vantreel-standin-marker:0000");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 27] = '1';
  std::ofstream(changed, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_EQ(check(changed), errSecCSSignatureFailed);
}

TEST_F(RunningCode, ASignatureThatCannotPassIsRefusedBeforeTheCodeIsRead) {
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  struct Case {
    const char* what;
    const char* identity;
    const char* identifier;
    std::uint64_t hole;
    OSStatus expected;
  };
  for (const auto& c : {
           Case{"own CA, 1 GiB", "foreign-signing", "org.vantreel.desktop.helperctl", kGiB,
                errSecCSReqFailed},
           Case{"own CA, 64 GiB", "foreign-signing", "org.vantreel.desktop", 64 * kGiB,
                errSecCSReqFailed},
           Case{"another team", "other-team", "org.vantreel.desktop.helperctl", kGiB,
                errSecCSReqFailed},
           Case{"the daemon's identifier", "dev-signing", "org.vantreel.desktop.helper", kGiB,
                errSecCSReqFailed},
           // Even our own signature may not make a check read without end.
           Case{"ours, beyond the size cap", "dev-signing", "org.vantreel.desktop.helperctl",
                4 * kGiB, errSecCSSignatureFailed},
       }) {
    SCOPED_TRACE(c.what);
    const auto path = sparseProgram(scratch.path(), "sparse", c.identifier, c.identity, c.hole);
    auto code = services.SecStaticCodeCreateWithPath(path.string(), 0);
    ASSERT_TRUE(code.has_value());
    const auto before = threadCpuTime();
    EXPECT_EQ(services.SecStaticCodeCheckValidity(*code, kSecCSCheckAllArchitectures,
                                                  callerRequirement()),
              c.expected);
    const auto spent = threadCpuTime() - before;
    std::cout << c.what << ": " << spent.count() / 1000 << " us of CPU\n";
    EXPECT_LT(spent, std::chrono::milliseconds(20) * testing::kSlowdown);
    fs::remove(path);
  }
}

TEST_F(RunningCode, TokenMustNameTheLiveProcessItWasTakenFrom) {
  const auto path = program(scratch.path(), "app", "org.vantreel.desktop", "dev-signing");
  Running process(path);
  const auto wrongStart = services.SecCodeCopyGuestWithAttributes(process.token(1), 0);
  ASSERT_FALSE(wrongStart.has_value());
  EXPECT_EQ(wrongStart.error(), errSecCSNoSuchCode);

  auto malformed = process.token();
  malformed[30] = std::byte{1};
  EXPECT_EQ(services.SecCodeCopyGuestWithAttributes(malformed, 0).error(),
            errSecCSInvalidAttributeValues);
  EXPECT_EQ(services.SecCodeCopyGuestWithAttributes(std::span(malformed).first(31), 0).error(),
            errSecCSInvalidAttributeValues);

  // A code object outlives its process only as a refusal.
  auto code = services.SecCodeCopyGuestWithAttributes(process.token(), 0);
  ASSERT_TRUE(code.has_value());
  const auto token = process.token();
  process.stop();
  EXPECT_EQ(services.SecCodeCheckValidity(*code, 0, callerRequirement()), errSecCSNoSuchCode);
  EXPECT_EQ(services.SecCodeCopyGuestWithAttributes(token, 0).error(), errSecCSNoSuchCode);
}

TEST_F(RunningCode, ProcessThatExecutesAnotherProgramLosesItsVerdict) {
  const auto signedProgram = program(scratch.path(), "app", "org.vantreel.desktop", "dev-signing");
  Running shell("/bin/sh", {"-c", "read line; exec '" + signedProgram.string() + "'"});
  auto code = services.SecCodeCopyGuestWithAttributes(shell.token(), 0);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(services.SecCodeCheckValidity(*code, 0, callerRequirement()), errSecCSUnsigned);

  shell.send("go\n");
  const std::string exe = "/proc/" + std::to_string(shell.pid()) + "/exe";
  for (int i = 0; i < 3000 && fs::read_symlink(exe) != fs::canonical(signedProgram); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(fs::read_symlink(exe), fs::canonical(signedProgram));
  // Same pid and start time, other program: the old object must not vouch for the new one.
  EXPECT_EQ(services.SecCodeCheckValidity(*code, 0, callerRequirement()), errSecCSGuestInvalid);
  auto fresh = services.SecCodeCopyGuestWithAttributes(shell.token(), 0);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ(services.SecCodeCheckValidity(*fresh, 0, callerRequirement()), errSecSuccess);
}

TEST_F(RunningCode, ValidityFollowsTheRunningFileNotThePath) {
  const auto path = program(scratch.path(), "ctl", "org.vantreel.desktop.helperctl", "dev-signing");
  Running process(path);
  auto code = services.SecCodeCopyGuestWithAttributes(process.token(), 0);
  ASSERT_TRUE(code.has_value());

  auto staticCode = services.SecCodeCopyStaticCode(*code, 0);
  ASSERT_TRUE(staticCode.has_value());
  const auto reported = services.SecCodeCopyPath(*staticCode, 0);
  ASSERT_TRUE(reported.has_value());
  EXPECT_EQ(*reported, fs::canonical(path).string());

  // The path now names an unsigned program; the process still runs the signed one.
  fs::remove(path);
  fs::copy_file(VT_STANDIN, path);
  EXPECT_EQ(services.SecCodeCheckValidity(*code, 0, callerRequirement()), errSecSuccess);
  auto fresh = services.SecCodeCopyGuestWithAttributes(process.token(), 0);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ(services.SecCodeCheckValidity(*fresh, 0, callerRequirement()), errSecSuccess);
  auto onDisk = services.SecStaticCodeCreateWithPath(path.string(), 0);
  ASSERT_TRUE(onDisk.has_value());
  EXPECT_EQ(services.SecStaticCodeCheckValidity(*onDisk, kSecCSCheckAllArchitectures, nullptr),
            errSecCSUnsigned);
}

TEST_F(RunningCode, SigningReplacesAnEarlierSignatureAndRefusesScripts) {
  const auto path = program(scratch.path(), "tool", "first.identifier", "other-team");
  ASSERT_TRUE(CodeSigner::signElf(path.string(), "org.vantreel.desktop", identity("dev-signing")));
  auto code = services.SecStaticCodeCreateWithPath(path.string(), 0);
  ASSERT_TRUE(code.has_value());
  auto information = services.SecCodeCopySigningInformation(*code, 0);
  ASSERT_TRUE(information.has_value());
  EXPECT_EQ(information->identifier, "org.vantreel.desktop");
  EXPECT_EQ(information->teamID, Constants::teamID());
  EXPECT_TRUE(information->anchored);
  EXPECT_EQ(
      services.SecStaticCodeCheckValidity(*code, kSecCSCheckAllArchitectures, callerRequirement()),
      errSecSuccess);
  EXPECT_TRUE((fs::status(path).permissions() & fs::perms::owner_exec) != fs::perms::none);

  const fs::path script = scratch.path() / "script.sh";
  std::ofstream(script) << "#!/bin/sh\nexit 0\n";
  EXPECT_FALSE(
      CodeSigner::signElf(script.string(), "org.vantreel.desktop", identity("dev-signing")));
  EXPECT_EQ(services.SecStaticCodeCreateWithPath((scratch.path() / "absent").string(), 0).error(),
            errSecCSStaticCodeNotFound);
}

}  // namespace
}  // namespace vantreel::platform::codesign
