#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/posix/io.hpp"
#include "platform/posix/process_identity.hpp"
#include "platform/posix/tree_fingerprint.hpp"
#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/audit_token.hpp"

namespace vantreel::platform {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesOnResetAndMoveButNotOnRelease) {
  auto pipe = posix::makePipe();
  ASSERT_TRUE(pipe);
  const int r = pipe->read.get();
  const int w = pipe->write.get();
  EXPECT_TRUE(::fcntl(r, F_GETFD) & FD_CLOEXEC);

  posix::UniqueFd moved = std::move(pipe->read);
  EXPECT_FALSE(pipe->read.valid());
  moved = posix::UniqueFd();
  EXPECT_FALSE(isOpen(r));

  const int raw = pipe->write.release();
  EXPECT_EQ(raw, w);
  EXPECT_TRUE(isOpen(w));
  ::close(raw);
}

TEST(Io, WriteAllThenReadToEndOfFile) {
  auto pipe = posix::makePipe();
  ASSERT_TRUE(pipe);
  const std::string text = "password\n";
  ASSERT_TRUE(posix::writeAll(pipe->write.get(), std::as_bytes(std::span(text))));
  pipe->write.reset();
  EXPECT_TRUE(posix::waitReadable(pipe->read.get(), std::chrono::milliseconds(0)).value());
  std::byte buffer[64];
  EXPECT_EQ(posix::readSome(pipe->read.get(), buffer).value(), text.size());
  EXPECT_EQ(posix::readSome(pipe->read.get(), buffer).value(), 0U);
}

TEST(Io, WaitReadableTimesOutOnAnEmptyPipe) {
  auto pipe = posix::makePipe();
  ASSERT_TRUE(pipe);
  EXPECT_FALSE(posix::waitReadable(pipe->read.get(), std::chrono::milliseconds(20)).value());
}

TEST(Io, ClosedStandardDescriptorsAreReservedOnTheNullDevice) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(1);
    posix::reserveStandardDescriptors();
    char target[64] = {};
    const ssize_t n = ::readlink("/proc/self/fd/1", target, sizeof target - 1);
    // The next descriptor opened must not take a standard stream's number.
    auto pipe = posix::makePipe();
    const bool ok = n > 0 && std::string(target, static_cast<std::size_t>(n)) == "/dev/null" &&
                    pipe && pipe->read.get() > 2 && isOpen(0) && isOpen(2);
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ProcessIdentity, PidfdRequiresTheMatchingStartTime) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const auto start = posix::processStartTime(child);
  ASSERT_TRUE(start) << start.error().description();
  EXPECT_FALSE(posix::openPidfd(child, *start + 1));
  auto pidfd = posix::openPidfd(child, *start);
  ASSERT_TRUE(pidfd) << pidfd.error().description();
  ASSERT_TRUE(posix::pidfdSendSignal(pidfd->get(), SIGKILL));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(posix::pidfdSendSignal(pidfd->get(), 0));
  EXPECT_FALSE(posix::processStartTime(child));
}

TEST(AuditToken, RoundTripsThroughItsBytesAndRefusesOtherSizes) {
  const auto token = xpc::AuditToken::make(-5, 1000, 1001, 0x1234567890ULL);
  const auto back = xpc::AuditToken::fromBytes(token.bytes());
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, token);
  EXPECT_EQ(back->pid(), -5);
  EXPECT_EQ(back->uid(), 1000U);
  EXPECT_EQ(back->gid(), 1001U);
  EXPECT_EQ(back->startTime(), 0x1234567890ULL);
  EXPECT_FALSE(xpc::AuditToken::fromBytes(std::span(token.bytes()).first(31)));
  auto bytes = token.bytes();
  bytes[13] = std::byte{1};
  EXPECT_FALSE(xpc::AuditToken::fromBytes(bytes));
}

// Any change to an entry shows; a tree whose times cannot be relied upon has no fingerprint.
TEST(TreeFingerprint, ShowsEveryChangeAndIsWithheldWhenUnreliable) {
  namespace fs = std::filesystem;
  using std::chrono::milliseconds;
  std::string root = (fs::temp_directory_path() / "vt-tree-XXXXXX").string();
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  fs::create_directories(root + "/a/b");
  std::ofstream(root + "/a/b/file") << "one";
  const auto fingerprint = [&](std::size_t entries = 16, milliseconds settled = milliseconds(0)) {
    return posix::treeFingerprint(root, entries, settled);
  };
  auto previous = fingerprint();
  ASSERT_TRUE(previous.has_value());
  EXPECT_EQ(fingerprint(), previous);
  const std::pair<const char*, std::function<void()>> changes[] = {
      // Other sizes: a rewrite within the clock's granularity may keep the times.
      {"content", [&] { std::ofstream(root + "/a/b/file") << "three"; }},
      {"mode", [&] { fs::permissions(root + "/a/b/file", fs::perms::owner_read); }},
      {"a new entry", [&] { std::ofstream(root + "/a/other"); }},
      {"a rename", [&] { fs::rename(root + "/a/other", root + "/a/renamed"); }},
  };
  for (const auto& [change, apply] : changes) {
    apply();
    const auto now = fingerprint();
    EXPECT_TRUE(now.has_value()) << change;
    EXPECT_NE(now, previous) << change;
    previous = now;
  }
  EXPECT_FALSE(fingerprint(16, milliseconds(3'600'000)).has_value()) << "changed just now";
  EXPECT_FALSE(fingerprint(3).has_value()) << "more entries than allowed";
  EXPECT_FALSE(posix::treeFingerprint("/proc/self", 100000, milliseconds(0)).has_value());
  fs::remove_all(root);
}

}  // namespace
}  // namespace vantreel::platform
