#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantreel {

// An error of the control tool: a domain (Constants::helperCtlBundleID for the tool's own, or
// the platform's for errors passed on unchanged), a numeric code and a readable description.
struct CtlError {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
};

// The domain of errors that carry an errno value, passed on from a failed system call.
inline constexpr std::string_view posixErrorDomain = "NSPOSIXErrorDomain";

}  // namespace vantreel
