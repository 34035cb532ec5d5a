#include "helper/helper_log.hpp"

#include <string>

#include "platform/log/logger.hpp"
#include "shared/constants.hpp"

namespace vantreel::HelperLog {
namespace {

const platform::log::Logger& logger() {
  static const platform::log::Logger instance(std::string(Constants::helperBundleID), "helper");
  return instance;
}

}  // namespace

void info(std::string_view message) noexcept { logger().info(message); }

void error(std::string_view message) noexcept { logger().error(message); }

void redacted(std::string_view message) noexcept { logger().info(message); }

}  // namespace vantreel::HelperLog
