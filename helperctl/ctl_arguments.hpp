#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "helperctl/ctl_error.hpp"
#include "shared/helper_start_request.hpp"

namespace vantreel {

// The tool's command line, the process arguments after the program name: one command word and
// options, each option's value the argument right after it.
class CtlArguments {
 public:
  CtlArguments() = delete;

  static constexpr std::int64_t errorCode = 64;
  static constexpr std::string_view missingConnectArguments =
      "connect requires --server and --user";

  // The first argument that does not begin with "-"; "status" when there is none.
  [[nodiscard]] static std::string commandWord(const std::vector<std::string>& arguments);
  // The argument right after the first occurrence of option, taken as it is.
  [[nodiscard]] static std::optional<std::string> value(std::string_view option,
                                                        const std::vector<std::string>& arguments);
  [[nodiscard]] static bool contains(const std::vector<std::string>& arguments,
                                     std::string_view option);

  // The start request of a connect, from its arguments, validated as the daemon will.
  [[nodiscard]] static tl::expected<HelperStartRequest, CtlError> connectRequest(
      const std::vector<std::string>& arguments);
};

}  // namespace vantreel
