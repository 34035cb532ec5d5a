#pragma once

#include <cstdint>
#include <string>

namespace vantreel {

// Why a caller was not accepted. The description is the text that reaches the log and the
// client's result.
class CallerValidationError {
 public:
  enum class Kind {
    secCode,
    missingAuditToken,
    requirementFailed,
    unsignedOrWrongTeam,
    bundleNotFound,
  };

  // status: what the failing code-signing call returned (0 when it succeeded without a result).
  [[nodiscard]] static CallerValidationError secCode(std::int32_t status);
  [[nodiscard]] static CallerValidationError missingAuditToken();
  [[nodiscard]] static CallerValidationError requirementFailed();
  [[nodiscard]] static CallerValidationError unsignedOrWrongTeam();
  [[nodiscard]] static CallerValidationError bundleNotFound();

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // Only meaningful for secCode.
  [[nodiscard]] std::int32_t status() const noexcept { return status_; }
  [[nodiscard]] std::string errorDescription() const;

  friend bool operator==(const CallerValidationError&, const CallerValidationError&) = default;

 private:
  CallerValidationError(Kind kind, std::int32_t status) : kind_(kind), status_(status) {}

  Kind kind_;
  std::int32_t status_;
};

}  // namespace vantreel
