#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <span>
#include <utility>

#include "platform/posix/io.hpp"
#include "platform/posix/secret_wipe.hpp"
#include "platform/posix/thread_reaper.hpp"
#include "platform/process/file_handle.hpp"

namespace vantreel::platform::process {

// Shared between a handle and its reader thread, so that the thread never touches a handle that
// its handler has destroyed.
struct FileHandle::State {
  std::mutex lock;  // guards every member below
  posix::UniqueFd fd;
  FileHandle* owner = nullptr;
  std::shared_ptr<ReadabilityHandler> handler;
  bool stopping = false;
  bool running = false;  // a reader thread exists and has not decided to end
  bool endOfFile = false;
  std::thread::id readerId;
  // Wakes the reader thread to stop; an eventfd, so that signalling a thread that has already
  // ended can never raise SIGPIPE. Created once, before the first reader thread.
  posix::UniqueFd wake;
};

namespace {

constexpr std::size_t kChunk = std::size_t{64} * 1024;

posix::SysResult<posix::UniqueFd> makeEventFd() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    return tl::unexpected(posix::lastError("eventfd"));
  }
  return posix::UniqueFd(fd);
}

std::string describe(const char* operation, int fd) {
  return std::string(operation) + " descriptor " + std::to_string(fd);
}

// Reopening a descriptor through /proc gives a description with the daemon's rights, so only
// what the sender could read itself qualifies: the read end of an anonymous pipe. A named FIFO
// (which may be one the sender cannot open), a write end and an O_PATH descriptor do not.
posix::SysResult<void> checkAnonymousPipeReadEnd(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) {
    return tl::unexpected(posix::lastError(describe("fcntl", fd)));
  }
  struct stat info {};
  struct statfs where {};
  if (::fstat(fd, &info) != 0 || ::fstatfs(fd, &where) != 0) {
    return tl::unexpected(posix::lastError(describe("fstat", fd)));
  }
  const int access = flags & O_ACCMODE;
  if ((flags & O_PATH) != 0 || (access != O_RDONLY && access != O_RDWR)) {
    return tl::unexpected(posix::SysError{EINVAL, describe("read", fd) + ": not open for reading"});
  }
  if (!S_ISFIFO(info.st_mode) || where.f_type != PIPEFS_MAGIC) {
    return tl::unexpected(posix::SysError{EINVAL, describe("read", fd) + ": not a pipe"});
  }
  return {};
}

// Holds SIGPIPE blocked for this thread while a write runs, and swallows the one the write
// raised, so that a reader that went away becomes EPIPE instead of killing the daemon.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipeOnly_);
    sigaddset(&pipeOnly_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    if (::sigpending(&pending) == 0) {
      wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ::pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
  }
  void raised() { raised_ = true; }
  ~SigpipeGuard() {
    if (raised_ && !wasPending_) {
      const timespec now{};
      while (::sigtimedwait(&pipeOnly_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipeOnly_{};
  sigset_t previous_{};
  bool wasPending_ = false;
  bool raised_ = false;
};

void readerLoop(const std::shared_ptr<FileHandle::State>& state, int wake) {
  {
    std::scoped_lock guard(state->lock);
    state->readerId = std::this_thread::get_id();
  }
  for (;;) {
    int fd = -1;
    {
      std::scoped_lock guard(state->lock);
      if (state->stopping || !state->handler || !state->fd) {
        state->running = false;
        return;
      }
      fd = state->fd.get();
    }
    pollfd entries[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      std::scoped_lock guard(state->lock);
      state->running = false;
      return;
    }
    if (entries[1].revents != 0) {
      eventfd_t drained = 0;
      [[maybe_unused]] const int ignored = ::eventfd_read(wake, &drained);
      continue;
    }
    if ((entries[0].revents & POLLNVAL) != 0) {
      std::scoped_lock guard(state->lock);
      state->running = false;
      return;
    }
    std::shared_ptr<FileHandle::ReadabilityHandler> handler;
    FileHandle* owner = nullptr;
    {
      std::scoped_lock guard(state->lock);
      if (state->stopping || !state->handler) {
        state->running = false;
        return;
      }
      handler = state->handler;
      owner = state->owner;
    }
    try {
      (*handler)(*owner);
    } catch (...) {
      // A handler's exception must not end the program from a thread of ours.
    }
    bool finished = false;
    {
      std::scoped_lock guard(state->lock);
      finished = state->endOfFile;
      if (finished) {
        state->running = false;
      }
    }
    // The handler may hold the last reference to the handle; from here on only state is used.
    handler.reset();
    if (finished) {
      return;
    }
  }
}

}  // namespace

FileHandle::FileHandle(posix::UniqueFd fd) : state_(std::make_shared<State>()) {
  state_->fd = std::move(fd);
  state_->owner = this;
}

FileHandle::~FileHandle() {
  stopReader();
  if (reader_.joinable()) {
    // Only the reader thread itself is left here: its handler dropped the last reference.
    posix::reapThread(std::move(reader_));
  }
  std::scoped_lock guard(state_->lock);
  state_->owner = nullptr;
}

posix::SysResult<std::shared_ptr<FileHandle>> FileHandle::fileHandleWithNullDevice() {
  auto fd = posix::openFile("/dev/null", O_RDWR);
  if (!fd) {
    return tl::unexpected(fd.error());
  }
  return std::make_shared<FileHandle>(std::move(*fd));
}

int FileHandle::fileDescriptor() const {
  std::scoped_lock guard(state_->lock);
  return state_->fd.get();
}

posix::SysResult<void> FileHandle::writeData(std::string_view bytes) {
  const int fd = fileDescriptor();
  if (fd < 0) {
    return tl::unexpected(posix::SysError{EBADF, "write closed file handle"});
  }
  SigpipeGuard guard;
  auto written = posix::writeAll(fd, std::as_bytes(std::span(bytes.data(), bytes.size())));
  if (!written) {
    if (written.error().code == EPIPE) {
      guard.raised();
    }
    return tl::unexpected(posix::SysError{written.error().code, describe("write", fd)});
  }
  return {};
}

posix::SysResult<void> FileHandle::close() {
  stopReader();
  posix::UniqueFd fd;
  {
    std::scoped_lock guard(state_->lock);
    fd = std::move(state_->fd);
  }
  if (!fd) {
    return tl::unexpected(posix::SysError{EBADF, "close closed file handle"});
  }
  const int raw = fd.release();
  // Never retried: on Linux the descriptor is released even when close reports EINTR.
  if (::close(raw) != 0) {
    return tl::unexpected(posix::lastError(describe("close", raw)));
  }
  return {};
}

posix::SysResult<Data> FileHandle::readDataOfLength(std::size_t length) {
  return readDataOfLength(length, std::chrono::steady_clock::time_point::max());
}

posix::SysResult<Data> FileHandle::readDataOfLength(
    std::size_t length, std::chrono::steady_clock::time_point deadline) {
  const int fd = fileDescriptor();
  if (fd < 0) {
    return tl::unexpected(posix::SysError{EBADF, "read closed file handle"});
  }
  const bool bounded = deadline != std::chrono::steady_clock::time_point::max();
  Data data;
  while (data.size() < length) {
    if (bounded) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      auto ready = posix::waitReadable(fd, std::max(left, std::chrono::milliseconds(0)));
      if (!ready) {
        return tl::unexpected(posix::SysError{ready.error().code, describe("poll", fd)});
      }
      if (!*ready) {
        return tl::unexpected(posix::SysError{ETIMEDOUT, describe("read", fd)});
      }
    }
    const std::size_t had = data.size();
    data.resize(had + std::min(length - had, kChunk));
    auto got = posix::readSome(fd, std::as_writable_bytes(std::span(data).subspan(had)));
    if (!got) {
      return tl::unexpected(posix::SysError{got.error().code, describe("read", fd)});
    }
    data.resize(had + *got);
    if (*got == 0) {
      break;
    }
  }
  return data;
}

posix::SysResult<Data> FileHandle::readPipeOfLength(std::size_t length,
                                                    std::chrono::steady_clock::time_point deadline,
                                                    int interrupt) {
  const int fd = fileDescriptor();
  if (fd < 0) {
    return tl::unexpected(posix::SysError{EBADF, "read closed file handle"});
  }
  if (auto refused = checkAnonymousPipeReadEnd(fd); !refused) {
    return tl::unexpected(refused.error());
  }
  auto own = posix::openFile("/proc/self/fd/" + std::to_string(fd), O_RDONLY | O_NONBLOCK);
  if (!own) {
    return tl::unexpected(own.error());
  }
  Data data;
  // Reserved once, so that no partial content is left behind in a buffer given up by growth.
  data.reserve(length);
  const auto failed = [&data](posix::SysError error) -> posix::SysResult<Data> {
    posix::wipeSecret(data);
    return tl::unexpected(std::move(error));
  };
  while (data.size() < length) {
    const std::size_t had = data.size();
    data.resize(had + std::min(length - had, kChunk));
    auto got = posix::readSome(own->get(), std::as_writable_bytes(std::span(data).subspan(had)));
    data.resize(had + (got ? *got : 0));
    if (got && *got == 0) {
      break;
    }
    if (got) {
      continue;
    }
    if (got.error().code != EAGAIN) {
      return failed(posix::SysError{got.error().code, describe("read", fd)});
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int watched[] = {own->get(), interrupt};
    auto ready = posix::waitAnyReadable(watched, std::max(left, std::chrono::milliseconds(0)));
    if (!ready) {
      return failed(posix::SysError{ready.error().code, describe("poll", fd)});
    }
    if (!*ready) {
      return failed(posix::SysError{ETIMEDOUT, describe("read", fd)});
    }
    if (**ready == 1) {
      return failed(posix::SysError{ECANCELED, describe("read", fd)});
    }
  }
  return data;
}

posix::SysResult<Data> FileHandle::readDataToEndOfFile() {
  const int fd = fileDescriptor();
  if (fd < 0) {
    return tl::unexpected(posix::SysError{EBADF, "read closed file handle"});
  }
  Data data;
  for (;;) {
    const std::size_t had = data.size();
    data.resize(had + kChunk);
    auto got = posix::readSome(fd, std::as_writable_bytes(std::span(data).subspan(had)));
    if (!got) {
      return tl::unexpected(posix::SysError{got.error().code, describe("read", fd)});
    }
    data.resize(had + *got);
    if (*got == 0) {
      return data;
    }
  }
}

posix::SysResult<Data> FileHandle::availableData() {
  const int fd = fileDescriptor();
  if (fd < 0) {
    return tl::unexpected(posix::SysError{EBADF, "read closed file handle"});
  }
  Data data(kChunk, '\0');
  auto got = posix::readSome(fd, std::as_writable_bytes(std::span(data)));
  if (!got) {
    return tl::unexpected(posix::SysError{got.error().code, describe("read", fd)});
  }
  data.resize(*got);
  if (data.empty()) {
    std::scoped_lock guard(state_->lock);
    state_->endOfFile = true;
  }
  return data;
}

void FileHandle::setReadabilityHandler(ReadabilityHandler handler) {
  if (!handler) {
    clearReadabilityHandler();
    return;
  }
  auto shared = std::make_shared<ReadabilityHandler>(std::move(handler));
  {
    std::scoped_lock guard(state_->lock);
    if (state_->running) {
      // The live thread (possibly the caller, inside the handler) carries on with the new one.
      state_->handler = std::move(shared);
      state_->stopping = false;
      return;
    }
  }
  // A thread that decided to end is past its handler and ends without waiting for anything.
  if (reader_.joinable()) {
    reader_.join();
  }
  int wake = -1;
  {
    std::scoped_lock guard(state_->lock);
    if (!state_->wake) {
      auto created = makeEventFd();
      if (!created) {
        // A thread that could not be stopped is worse than no handler.
        return;
      }
      state_->wake = std::move(*created);
    }
    wake = state_->wake.get();
    state_->handler = std::move(shared);
    state_->stopping = false;
    state_->running = true;
  }
  reader_ = std::jthread([state = state_, wake] {
    readerLoop(state, wake);
    std::scoped_lock guard(state->lock);
    state->readerId = std::thread::id();
  });
}

void FileHandle::clearReadabilityHandler() { stopReader(); }

void FileHandle::stopReader() {
  bool onReader = false;
  int wake = -1;
  // Released only after the lock: destroying a handler may run arbitrary destructors.
  std::shared_ptr<ReadabilityHandler> released;
  {
    std::scoped_lock guard(state_->lock);
    released = std::move(state_->handler);
    state_->stopping = true;
    onReader = state_->readerId == std::this_thread::get_id();
    wake = state_->wake.get();
  }
  if (onReader) {
    // The thread notices after the current call returns; it cannot join itself.
    return;
  }
  if (wake >= 0) {
    [[maybe_unused]] const int ignored = ::eventfd_write(wake, 1);
  }
  if (reader_.joinable()) {
    reader_.join();
  }
}

}  // namespace vantreel::platform::process
