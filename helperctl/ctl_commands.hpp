#pragma once

#include <memory>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "helperctl/ctl_error.hpp"
#include "helperctl/ctl_streams.hpp"

namespace vantreel {

class HelperCtlClient;

// The commands that ask the daemon or the installer once and write one result: each returns
// the exit status, or the error that the caller reports as the result.
class CtlCommands {
 public:
  CtlCommands(const std::vector<std::string>& arguments, CtlStreams streams);

  [[nodiscard]] int version() const;
  [[nodiscard]] int status() const;
  [[nodiscard]] tl::expected<int, CtlError> install() const;
  [[nodiscard]] tl::expected<int, CtlError> uninstall() const;
  [[nodiscard]] tl::expected<int, CtlError> disconnect() const;
  [[nodiscard]] tl::expected<int, CtlError> tunnel() const;

 private:
  // A fresh client of the daemon whose errors go to errorFd.
  [[nodiscard]] std::shared_ptr<HelperCtlClient> client(int errorFd) const;

  const std::vector<std::string>& arguments_;
  CtlStreams streams_;
};

}  // namespace vantreel
