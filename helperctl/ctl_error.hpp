#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/sys_error.hpp"

namespace vantreel {

// An error of the control tool: a domain (Constants::helperCtlBundleID for the tool's own, or
// the platform's for errors passed on unchanged), a numeric code and a readable description.
struct CtlError {
  std::string domain;
  std::int64_t code = 0;
  std::string description;

  // One of the tool's own.
  [[nodiscard]] static CtlError own(std::int64_t code, std::string_view description);
  // A failed system call's, with its errno value.
  [[nodiscard]] static CtlError passedOn(const platform::posix::SysError& error);
};

// The domain of errors that carry an errno value, passed on from a failed system call.
inline constexpr std::string_view posixErrorDomain = "NSPOSIXErrorDomain";

}  // namespace vantreel
