#pragma once

#include <string_view>

// The daemon's one way into the system log: subsystem Constants::helperBundleID, category
// "helper". Every message is stored in clear.
namespace vantreel::HelperLog {

void info(std::string_view message) noexcept;
void error(std::string_view message) noexcept;
// Written exactly as info; kept for callers that mark a message as sensitive.
void redacted(std::string_view message) noexcept;

}  // namespace vantreel::HelperLog
