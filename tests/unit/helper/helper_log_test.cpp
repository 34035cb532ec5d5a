#include "helper/helper_log.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/capturing_sink.hpp"
#include "platform/log/stream_sink.hpp"
#include "platform/log/system_log.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel {
namespace {

using platform::log::CapturingSink;
using platform::log::LogLevel;
using platform::log::StreamSink;
using platform::posix::UniqueFd;

// Installs a capturing sink for one test and puts the previous sink back.
class CapturedLog : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = platform::log::setSink(sink_); }
  void TearDown() override { platform::log::setSink(previous_); }

  std::shared_ptr<CapturingSink> sink_ = std::make_shared<CapturingSink>();
  std::shared_ptr<platform::log::LogSink> previous_;
};

TEST_F(CapturedLog, EntriesCarrySubsystemCategoryAndLevel) {
  HelperLog::info("started");
  HelperLog::error("failed");
  HelperLog::redacted("secret-looking text");
  const std::vector<CapturingSink::Entry> expected{
      {LogLevel::info, "org.vantreel.desktop.helper", "helper", "started"},
      {LogLevel::error, "org.vantreel.desktop.helper", "helper", "failed"},
      {LogLevel::info, "org.vantreel.desktop.helper", "helper", "secret-looking text"},
  };
  EXPECT_EQ(sink_->entries(), expected);
}

TEST_F(CapturedLog, MessageIsNeverAFormat) {
  HelperLog::info("100% %s %n %{public}@");
  EXPECT_EQ(sink_->messages(), std::vector<std::string>{"100% %s %n %{public}@"});
}

TEST_F(CapturedLog, ConcurrentFirstUseLosesNothing) {
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 100; ++i) {
          HelperLog::info(std::to_string(t * 1000 + i));
        }
      });
    }
  }
  const auto messages = sink_->messages();
  EXPECT_EQ(std::set<std::string>(messages.begin(), messages.end()).size(), 800U);
}

TEST(StreamSinkFormat, LineLayoutLevelsAndJournalPrefix) {
  EXPECT_EQ(StreamSink::formatLine(LogLevel::info, "org.x", "helper", "up", false),
            "info org.x[helper]: up");
  EXPECT_EQ(StreamSink::formatLine(LogLevel::error, "org.x", "helper", "down", false),
            "error org.x[helper]: down");
  EXPECT_EQ(StreamSink::formatLine(LogLevel::info, "s", "c", "m", true), "<6>info s[c]: m");
  EXPECT_EQ(StreamSink::formatLine(LogLevel::error, "s", "c", "m", true), "<3>error s[c]: m");
}

TEST(StreamSinkFormat, ControlCharactersCannotForgeAnEntry) {
  EXPECT_EQ(
      StreamSink::formatLine(LogLevel::info, "s", "c", "a\n<3>error s[c]: b\r\x1b\x7f\tz", true),
      "<6>info s[c]: a\\n<3>error s[c]: b\\r\\x1b\\x7f\tz");
  EXPECT_EQ(StreamSink::formatLine(LogLevel::info, "s", "c", "caf\u00e9 100%", false),
            "info s[c]: caf\u00e9 100%");
}

std::string readAll(int fd) {
  std::string text;
  std::byte buffer[4096];
  for (;;) {
    const auto n = platform::posix::readSome(fd, buffer);
    if (!n || *n == 0) {
      return text;
    }
    text.append(reinterpret_cast<const char*>(buffer), *n);
  }
}

std::string identity(int fd) {
  struct stat info {};
  EXPECT_EQ(::fstat(fd, &info), 0);
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

// JOURNAL_STREAM is read when a sink is built; these tests build theirs on the test thread
// before any other thread runs.
class JournalStream : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("JOURNAL_STREAM"); }
};

TEST_F(JournalStream, PrefixOnlyWhenTheVariableNamesThisDescriptor) {
  auto pipe = platform::posix::makePipe();
  ASSERT_TRUE(pipe);
  {
    ::unsetenv("JOURNAL_STREAM");
    StreamSink plain(pipe->write.get());
    EXPECT_FALSE(plain.journal());
    plain.write(LogLevel::info, "s", "c", "one");

    ::setenv("JOURNAL_STREAM", "1:2", 1);
    EXPECT_FALSE(StreamSink(pipe->write.get()).journal());
    ::setenv("JOURNAL_STREAM", (identity(pipe->write.get()) + "x").c_str(), 1);
    EXPECT_FALSE(StreamSink(pipe->write.get()).journal());

    ::setenv("JOURNAL_STREAM", identity(pipe->write.get()).c_str(), 1);
    StreamSink journal(pipe->write.get());
    EXPECT_TRUE(journal.journal());
    journal.write(LogLevel::error, "s", "c", "two");
    journal.write(LogLevel::info, "s", "c", "three");
  }
  pipe->write.reset();
  EXPECT_EQ(readAll(pipe->read.get()), "info s[c]: one\n<3>error s[c]: two\n<6>info s[c]: three\n");
}

TEST_F(JournalStream, LinesFromManyThreadsStayWhole) {
  int pair[2] = {-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd writer(pair[0]);
  UniqueFd reader(pair[1]);
  ::setenv("JOURNAL_STREAM", identity(writer.get()).c_str(), 1);
  StreamSink sink(writer.get());
  ::unsetenv("JOURNAL_STREAM");
  ASSERT_TRUE(sink.journal());

  std::string received;
  std::jthread drain([&] { received = readAll(reader.get()); });
  const std::string payload(1000, 'p');
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          sink.write(LogLevel::info, "s", "c", payload);
        }
      });
    }
  }
  writer.reset();
  drain.join();
  const std::string line = "<6>info s[c]: " + payload + "\n";
  ASSERT_EQ(received.size(), line.size() * 800);
  for (std::size_t at = 0; at < received.size(); at += line.size()) {
    ASSERT_EQ(received.compare(at, line.size(), line), 0) << "torn at " << at;
  }
}

TEST_F(JournalStream, VanishedReaderDoesNotRaiseSigpipe) {
  int pair[2] = {-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd writer(pair[0]);
  UniqueFd(pair[1]).reset();
  StreamSink sink(writer.get());
  sink.write(LogLevel::error, "s", "c", "nobody listens");  // must return, not kill the test
  SUCCEED();
}

TEST(SystemLog, SettingNullRestoresTheStandardErrorSink) {
  auto capture = std::make_shared<CapturingSink>();
  const auto original = platform::log::setSink(capture);
  EXPECT_EQ(platform::log::currentSink(), capture);
  EXPECT_EQ(platform::log::setSink(nullptr), capture);
  EXPECT_EQ(platform::log::currentSink(), original);
  EXPECT_NE(dynamic_cast<StreamSink*>(platform::log::currentSink().get()), nullptr);
}

}  // namespace
}  // namespace vantreel
