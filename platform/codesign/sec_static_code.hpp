#pragma once

#include <memory>
#include <string>

#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::codesign {

// Code on disk: a signed file or a sealed bundle. It holds the file or bundle directory open
// from its creation on, so every check examines the object it was created for, whatever
// happens to the path afterwards.
class SecStaticCode {
 public:
  enum class Kind { file, bundle };

  SecStaticCode(Kind kind, std::string path, std::shared_ptr<const posix::UniqueFd> fd)
      : kind_(kind), path_(std::move(path)), fd_(std::move(fd)) {}

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] int fd() const noexcept { return fd_->get(); }

 private:
  Kind kind_;
  std::string path_;
  std::shared_ptr<const posix::UniqueFd> fd_;
};

}  // namespace vantreel::platform::codesign
