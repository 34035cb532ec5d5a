#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/posix/sys_error.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::process {

// Bytes moved through a file handle; a std::string is only the container, not text.
using Data = std::string;

// Owns one descriptor (a pipe end, the null device, a descriptor received over the transport)
// and reads and writes whole byte strings on it. Shared by reference: a Pipe, a Task and a
// readability handler may all hold the same handle.
//
// Calls that block (the reads) are meant for one thread at a time. close() and the destructor
// stop a readability handler first, so they may be called from anywhere, that handler included.
class FileHandle {
 public:
  using ReadabilityHandler = std::function<void(FileHandle&)>;

  explicit FileHandle(posix::UniqueFd fd);
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // A handle on /dev/null, opened for reading and writing.
  [[nodiscard]] static posix::SysResult<std::shared_ptr<FileHandle>> fileHandleWithNullDevice();

  // The descriptor, or -1 once closed. Ownership stays with the handle.
  [[nodiscard]] int fileDescriptor() const;

  // Writes every byte. A reader that has gone away yields EPIPE as an error, never SIGPIPE.
  [[nodiscard]] posix::SysResult<void> writeData(std::string_view bytes);

  // Closes the descriptor after stopping the readability handler, if one is installed.
  [[nodiscard]] posix::SysResult<void> close();

  // Returns once length bytes arrived, or fewer at end of file.
  [[nodiscard]] posix::SysResult<Data> readDataOfLength(std::size_t length);
  // As above, but fails with code ETIMEDOUT when the deadline passes first; bytes read until
  // then are discarded.
  [[nodiscard]] posix::SysResult<Data> readDataOfLength(
      std::size_t length, std::chrono::steady_clock::time_point deadline);
  // For a pipe received from another process, whose file description (and its flags) that
  // process shares and may read from itself: reads through a description of our own, opened
  // anew and non-blocking, so the deadline holds whatever the other process does. Only the read
  // end of an anonymous pipe qualifies, since reopening gives our own rights: a named FIFO, a
  // write end or an O_PATH descriptor fails with EINVAL before anything is read. ETIMEDOUT at
  // the deadline, ECANCELED once interrupt (an eventfd, or -1) is readable. Bytes read before a
  // failure are wiped.
  [[nodiscard]] posix::SysResult<Data> readPipeOfLength(
      std::size_t length, std::chrono::steady_clock::time_point deadline, int interrupt = -1);
  [[nodiscard]] posix::SysResult<Data> readDataToEndOfFile();
  // One read of whatever is there (blocking until something is); empty means end of file.
  [[nodiscard]] posix::SysResult<Data> availableData();

  // Installs handler, to be called on a background thread each time bytes can be read; calls
  // come one at a time and in order. The handler is expected to read (availableData); once a
  // read has found end of file the handler is not called again. An empty handler clears it.
  void setReadabilityHandler(ReadabilityHandler handler);
  // Removes the handler. From another thread it also waits for a call in progress to end, so
  // that no call comes after it returns; from inside the handler it ends the handler's thread
  // once the current call returns.
  void clearReadabilityHandler();

  struct State;

 private:
  void stopReader();

  std::shared_ptr<State> state_;
  // The reader thread of the handler; see stopReader for who joins it.
  std::jthread reader_;
};

}  // namespace vantreel::platform::process
