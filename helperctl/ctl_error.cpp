#include "helperctl/ctl_error.hpp"

#include "shared/constants.hpp"

namespace vantreel {

CtlError CtlError::own(std::int64_t code, std::string_view description) {
  return CtlError{std::string(Constants::helperCtlBundleID), code, std::string(description)};
}

CtlError CtlError::passedOn(const platform::posix::SysError& error) {
  return CtlError{std::string(posixErrorDomain), error.code, error.description()};
}

}  // namespace vantreel
