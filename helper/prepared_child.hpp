#pragma once

#include <memory>
#include <string>
#include <tl/expected.hpp>

#include "helper/runner_error.hpp"
#include "helper/runner_settings.hpp"
#include "helper/validated_start.hpp"
#include "helper/verified_copies.hpp"

namespace vantreel {

// Everything a start makes ready before it waits for its secret: the request validated, the
// bundle's items verified and copied where the caller cannot touch them, the undo of the
// tunnel's network changes made ready, and how OpenConnect is to be run from the copies.
struct PreparedChild {
  std::shared_ptr<VerifiedCopies> copies;
  OpenConnectInvocation invocation;
  std::string server;  // host[:port][path]
  bool takesCookie = false;

  [[nodiscard]] static tl::expected<PreparedChild, RunnerError> prepare(
      const StartRequest& request, const std::string& appBundle, const RunnerSettings& settings);
};

}  // namespace vantreel
