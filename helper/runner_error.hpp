#pragma once

#include <string>
#include <utility>

namespace vantreel {

// Errors of the OpenConnect runner and of the resolution of its programs. The description is
// what a user finally reads in a failed result.
class RunnerError {
 public:
  enum class Kind {
    invalidRequest,
    spawnFailed,
    alreadyRunning,
    notRunning,
    openConnectMissing,
    scriptMissing,
    unsignedBinary,
    passwordReadFailed,
  };

  // message: the failure message of argument validation.
  [[nodiscard]] static RunnerError invalidRequest(std::string message);
  // message: the description of the launch error.
  [[nodiscard]] static RunnerError spawnFailed(std::string message);
  [[nodiscard]] static RunnerError alreadyRunning();
  [[nodiscard]] static RunnerError notRunning();
  [[nodiscard]] static RunnerError openConnectMissing();
  [[nodiscard]] static RunnerError scriptMissing();
  [[nodiscard]] static RunnerError unsignedBinary();
  [[nodiscard]] static RunnerError passwordReadFailed();

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] std::string errorDescription() const;

  friend bool operator==(const RunnerError&, const RunnerError&) = default;

 private:
  RunnerError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  std::string payload_;  // only for invalidRequest and spawnFailed
};

}  // namespace vantreel
