#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/xpc/archived_object.hpp"
#include "platform/xpc/keyed_unarchiver.hpp"
#include "shared/constants.hpp"

namespace vantreel {

// The outcome of one daemon operation. A new one is built for every reply.
class HelperOpResult {
 public:
  static constexpr std::string_view className = "VTHelperOpResult";

  explicit HelperOpResult(bool ok, std::int64_t code = 0, std::string message = "",
                          std::string state = "idle",
                          std::string version = Constants::helperVersion(), std::int64_t pid = 0);

  [[nodiscard]] bool ok() const noexcept { return ok_; }
  [[nodiscard]] std::int64_t code() const noexcept { return code_; }
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  [[nodiscard]] const std::string& state() const noexcept { return state_; }
  [[nodiscard]] const std::string& version() const noexcept { return version_; }
  [[nodiscard]] std::int64_t pid() const noexcept { return pid_; }

  [[nodiscard]] platform::xpc::ArchivedObject archive() const;
  // A record for every archive of this class: missing keys take their defaults, a missing
  // version this reader's own. Nothing only when the archive names another class.
  [[nodiscard]] static std::optional<HelperOpResult> decode(
      const platform::xpc::KeyedUnarchiver& coder);

  friend bool operator==(const HelperOpResult&, const HelperOpResult&) = default;

 private:
  bool ok_;
  std::int64_t code_;
  std::string message_;
  std::string state_;
  std::string version_;
  std::int64_t pid_;
};

}  // namespace vantreel
