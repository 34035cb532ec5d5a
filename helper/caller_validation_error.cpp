#include "helper/caller_validation_error.hpp"

namespace vantreel {

CallerValidationError CallerValidationError::secCode(std::int32_t status) {
  return {Kind::secCode, status};
}

CallerValidationError CallerValidationError::missingAuditToken() {
  return {Kind::missingAuditToken, 0};
}

CallerValidationError CallerValidationError::requirementFailed() {
  return {Kind::requirementFailed, 0};
}

CallerValidationError CallerValidationError::unsignedOrWrongTeam() {
  return {Kind::unsignedOrWrongTeam, 0};
}

CallerValidationError CallerValidationError::bundleNotFound() { return {Kind::bundleNotFound, 0}; }

std::string CallerValidationError::errorDescription() const {
  switch (kind_) {
    case Kind::secCode:
      return "SecCode lookup failed (" + std::to_string(status_) + ")";
    case Kind::missingAuditToken:
      return "caller audit token missing";
    case Kind::requirementFailed:
      return "caller failed the code-signing requirement";
    case Kind::unsignedOrWrongTeam:
      return "caller is not signed by the Vantreel Team ID";
    case Kind::bundleNotFound:
      return "could not resolve the caller's app bundle";
  }
  return "caller validation failed";
}

}  // namespace vantreel
