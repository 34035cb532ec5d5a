#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

// A private directory under TMPDIR for the targets that must hand the code under test a real
// path. Made on first use, removed at normal exit; a crash leaves it behind, beside the
// reproducer, which is what one wants then.
class ScratchDirectory {
 public:
  static const std::filesystem::path& path() {
    static const ScratchDirectory instance;
    return instance.path_;
  }

  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

 private:
  ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::filesystem::path path_;
};
