#pragma once

#include <memory>

#include "platform/posix/sys_error.hpp"
#include "platform/process/file_handle.hpp"

namespace vantreel::platform::process {

// A pipe made with both ends close-on-exec. Handing it to a Task as a standard stream closes
// the parent's copy of the child's end after a successful launch, so that the parent sees end
// of file once the child (and whatever it started) has gone.
class Pipe {
 public:
  [[nodiscard]] static posix::SysResult<Pipe> make();

  [[nodiscard]] const std::shared_ptr<FileHandle>& fileHandleForReading() const { return reading_; }
  [[nodiscard]] const std::shared_ptr<FileHandle>& fileHandleForWriting() const { return writing_; }

 private:
  Pipe(std::shared_ptr<FileHandle> reading, std::shared_ptr<FileHandle> writing)
      : reading_(std::move(reading)), writing_(std::move(writing)) {}

  std::shared_ptr<FileHandle> reading_;
  std::shared_ptr<FileHandle> writing_;
};

}  // namespace vantreel::platform::process
