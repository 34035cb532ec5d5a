#pragma once

#include <string>
#include <vector>

#include "helper/runner_settings.hpp"

// A host route to the server that an earlier tunnel's script left behind would send the new
// tunnel's own traffic to a gateway that may be gone: it is removed before each start.
namespace vantreel::StaleHostRoutes {

// server: host[:port][path]. interrupt: an eventfd that, once readable, ends the wait for the
// name lookup and skips the remaining removals.
void remove(const std::string& server, const RunnerSettings& settings, int interrupt = -1);

// Runs a route program bounded in time: whether it exited with status 0.
[[nodiscard]] bool runRouteCommand(const std::vector<std::string>& command);

}  // namespace vantreel::StaleHostRoutes
