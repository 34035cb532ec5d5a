#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/process/pipe.hpp"

namespace vantreel::platform::process {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 60s;

struct Collected {
  std::string bytes;
  int endOfFileCalls = 0;
  int callsAfterEndOfFile = 0;
};

TEST(FileHandle, ReadabilityHandlerSeesEveryByteThenEndOfFileOnce) {
  auto pipe = Pipe::make();
  ASSERT_TRUE(pipe);
  auto collected = std::make_shared<Collected>();
  auto done = std::make_shared<std::promise<void>>();
  std::atomic<int> concurrent{0};
  std::atomic<bool> overlapped{false};
  pipe->fileHandleForReading()->setReadabilityHandler(
      [=, &concurrent, &overlapped](FileHandle& handle) {
        if (concurrent.fetch_add(1) != 0) {
          overlapped = true;
        }
        if (collected->endOfFileCalls > 0) {
          ++collected->callsAfterEndOfFile;
        }
        auto chunk = handle.availableData();
        if (chunk && chunk->empty()) {
          if (++collected->endOfFileCalls == 1) {
            done->set_value();
          }
        } else if (chunk) {
          collected->bytes += *chunk;
        }
        concurrent.fetch_sub(1);
      });

  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    expected += "line " + std::to_string(i) + (i % 3 == 0 ? "\r\n" : "\n");
  }
  expected += std::string(200000, 'x');  // more than a pipe holds at once
  std::jthread writer([&] {
    for (std::size_t at = 0; at < expected.size(); at += 997) {
      EXPECT_TRUE(pipe->fileHandleForWriting()->writeData(expected.substr(at, 997)));
    }
    EXPECT_TRUE(pipe->fileHandleForWriting()->close());
  });
  ASSERT_EQ(done->get_future().wait_for(kBound), std::future_status::ready);
  writer.join();
  pipe->fileHandleForReading()->clearReadabilityHandler();
  EXPECT_EQ(collected->bytes, expected);
  EXPECT_EQ(collected->endOfFileCalls, 1);
  EXPECT_EQ(collected->callsAfterEndOfFile, 0);
  EXPECT_FALSE(overlapped.load());
}

// Set once a cleared handler has been let go, or (wrongly) called again: whichever comes first
// settles whether a call came after the clear, without waiting for one that should never come.
class Settled {
 public:
  // Held by the handler: its last copy going settles.
  [[nodiscard]] std::shared_ptr<void> token() {
    return {nullptr, [state = state_](void*) { state->settle(); }};
  }
  void calledAgain() { state_->settle(); }
  [[nodiscard]] bool await() { return future_.wait_for(kBound) == std::future_status::ready; }

 private:
  struct State {
    std::promise<void> promise;
    std::once_flag once;
    void settle() {
      std::call_once(once, [this] { promise.set_value(); });
    }
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::future<void> future_ = state_->promise.get_future();
};

TEST(FileHandle, ClearingTheHandlerStopsCallsFromInsideAndOutside) {
  // Before the pipes: a wrong call may come as long as they last.
  Settled insideSettled;
  Settled outsideSettled;
  std::atomic<int> calls{0};
  std::atomic<int> laterCalls{0};

  // From inside: the first call clears, and no second call comes although more bytes wait as
  // it returns; they stay in the pipe.
  auto inside = Pipe::make();
  ASSERT_TRUE(inside);
  auto& writing = *inside->fileHandleForWriting();
  auto first = std::make_shared<std::promise<void>>();
  inside->fileHandleForReading()->setReadabilityHandler(
      [&calls, &writing, &insideSettled, first, held = insideSettled.token()](FileHandle& handle) {
        (void)handle.availableData();
        if (calls.fetch_add(1) != 0) {
          insideSettled.calledAgain();
          return;
        }
        EXPECT_TRUE(writing.writeData("b"));
        handle.clearReadabilityHandler();
        first->set_value();
      });
  ASSERT_TRUE(writing.writeData("a"));
  ASSERT_EQ(first->get_future().wait_for(kBound), std::future_status::ready);
  ASSERT_TRUE(insideSettled.await());
  EXPECT_EQ(calls.load(), 1);
  ASSERT_TRUE(writing.close());
  auto unread = inside->fileHandleForReading()->readDataToEndOfFile();
  ASSERT_TRUE(unread);
  EXPECT_EQ(*unread, "b");

  // From outside: after clear returns, nothing more is delivered; the bytes stay in the pipe.
  auto outside = Pipe::make();
  ASSERT_TRUE(outside);
  auto& reading = *outside->fileHandleForReading();
  reading.setReadabilityHandler(
      [&laterCalls, &outsideSettled, held = outsideSettled.token()](FileHandle& handle) {
        (void)handle.availableData();
        ++laterCalls;
        outsideSettled.calledAgain();
      });
  reading.clearReadabilityHandler();
  ASSERT_TRUE(outside->fileHandleForWriting()->writeData("c"));
  ASSERT_TRUE(outsideSettled.await());
  EXPECT_EQ(laterCalls.load(), 0);
  ASSERT_TRUE(outside->fileHandleForWriting()->close());
  auto rest = reading.readDataToEndOfFile();
  ASSERT_TRUE(rest);
  EXPECT_EQ(*rest, "c");
}

TEST(FileHandle, HandlerMayDestroyItsOwnHandle) {
  auto pipe = Pipe::make();
  ASSERT_TRUE(pipe);
  auto done = std::make_shared<std::promise<std::string>>();
  {
    auto reading = pipe->fileHandleForReading();
    auto seen = std::make_shared<std::string>();
    // The handler keeps the handle alive and lets it go at end of file: a reference cycle that
    // the last call breaks, on the reader thread.
    reading->setReadabilityHandler([keep = reading, done, seen](FileHandle& handle) mutable {
      auto chunk = handle.availableData();
      if (chunk && !chunk->empty()) {
        *seen += *chunk;
        return;
      }
      handle.clearReadabilityHandler();
      done->set_value(*seen);
      keep.reset();
    });
  }
  auto writing = pipe->fileHandleForWriting();
  pipe = tl::unexpected(posix::SysError{});  // drops the pipe's own reference to the read end
  ASSERT_TRUE(writing->writeData("bye"));
  ASSERT_TRUE(writing->close());
  auto result = done->get_future();
  ASSERT_EQ(result.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(result.get(), "bye");
}

TEST(FileHandle, ReadDataOfLengthStopsAtLengthEndOfFileOrDeadline) {
  auto pipe = Pipe::make();
  ASSERT_TRUE(pipe);
  auto& reading = *pipe->fileHandleForReading();
  auto& writing = *pipe->fileHandleForWriting();

  ASSERT_TRUE(writing.writeData("0123456789"));
  auto exact = reading.readDataOfLength(4);
  ASSERT_TRUE(exact);
  EXPECT_EQ(*exact, "0123");

  // The writer keeps its end open: the deadline ends the read, and says so.
  const auto started = std::chrono::steady_clock::now();
  auto timedOut = reading.readDataOfLength(8192, started + 200ms);
  ASSERT_FALSE(timedOut);
  EXPECT_EQ(timedOut.error().code, ETIMEDOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);

  ASSERT_TRUE(writing.writeData("abc"));
  ASSERT_TRUE(writing.close());
  auto shortRead = reading.readDataOfLength(8192, std::chrono::steady_clock::now() + kBound);
  ASSERT_TRUE(shortRead);
  EXPECT_EQ(*shortRead, "abc");
  auto atEnd = reading.availableData();
  ASSERT_TRUE(atEnd);
  EXPECT_TRUE(atEnd->empty());
}

TEST(FileHandle, WritingToAVanishedReaderFailsWithoutSigpipe) {
  auto pipe = Pipe::make();
  ASSERT_TRUE(pipe);
  ASSERT_TRUE(pipe->fileHandleForReading()->close());
  // SIGPIPE keeps its default, deadly disposition here: surviving is the test.
  auto written = pipe->fileHandleForWriting()->writeData("password\n");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().code, EPIPE);
  sigset_t pending;
  sigemptyset(&pending);
  ASSERT_EQ(::sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);

  EXPECT_FALSE(pipe->fileHandleForReading()->close()) << "a second close fails";
  EXPECT_FALSE(pipe->fileHandleForReading()->availableData());
}

TEST(FileHandle, WrapsAReceivedDescriptorAndTheNullDevice) {
  auto ends = posix::makePipe();
  ASSERT_TRUE(ends);
  FileHandle reading(std::move(ends->read));
  FileHandle writing(std::move(ends->write));
  ASSERT_TRUE(writing.writeData("x"));
  ASSERT_TRUE(writing.close());
  auto all = reading.readDataToEndOfFile();
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, "x");

  auto null = FileHandle::fileHandleWithNullDevice();
  ASSERT_TRUE(null);
  EXPECT_TRUE((*null)->writeData("discarded"));
  auto nothing = (*null)->readDataToEndOfFile();
  ASSERT_TRUE(nothing);
  EXPECT_TRUE(nothing->empty());
}

}  // namespace
}  // namespace vantreel::platform::process
