#include "helper/runner_error.hpp"

#include <utility>

namespace vantreel {

RunnerError RunnerError::invalidRequest(std::string message) {
  return {Kind::invalidRequest, std::move(message)};
}

RunnerError RunnerError::spawnFailed(std::string message) {
  return {Kind::spawnFailed, std::move(message)};
}

RunnerError RunnerError::alreadyRunning() { return {Kind::alreadyRunning, {}}; }
RunnerError RunnerError::notRunning() { return {Kind::notRunning, {}}; }
RunnerError RunnerError::openConnectMissing() { return {Kind::openConnectMissing, {}}; }
RunnerError RunnerError::scriptMissing() { return {Kind::scriptMissing, {}}; }
RunnerError RunnerError::unsignedBinary() { return {Kind::unsignedBinary, {}}; }
RunnerError RunnerError::passwordReadFailed() { return {Kind::passwordReadFailed, {}}; }

std::string RunnerError::errorDescription() const {
  switch (kind_) {
    case Kind::invalidRequest:
    case Kind::spawnFailed:
      return payload_;
    case Kind::alreadyRunning:
      return "a tunnel is already running";
    case Kind::notRunning:
      return "no tunnel is running";
    case Kind::openConnectMissing:
      return "bundled OpenConnect binary not found inside the signed app";
    case Kind::scriptMissing:
      return "bundled vpnc-script not found inside the signed app";
    case Kind::unsignedBinary:
      return "bundled OpenConnect is not inside the signed Vantreel app";
    case Kind::passwordReadFailed:
      return "failed to read the secret from the XPC file descriptor";
  }
  return {};
}

}  // namespace vantreel
