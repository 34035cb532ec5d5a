#pragma once

#include <string>
#include <string_view>

// Identifiers both programs compile in. Each use site takes the constant of its own role, even
// where two constants hold the same text.
namespace vantreel::Constants {

// Copies of the build's Injected values, taken once on first access.
const std::string& teamID();
const std::string& helperVersion();

inline constexpr std::string_view machService = "org.vantreel.desktop.helperd";
inline constexpr std::string_view helperLabel = "org.vantreel.desktop.helperd";
inline constexpr std::string_view legacyLabel = "org.vantreel.desktop.helper";
inline constexpr std::string_view helperBundleID = "org.vantreel.desktop.helper";
inline constexpr std::string_view helperCtlBundleID = "org.vantreel.desktop.helperctl";
inline constexpr std::string_view appBundleID = "org.vantreel.desktop";
inline constexpr std::string_view plistName = "org.vantreel.desktop.helperd.plist";
inline constexpr std::string_view legacyPlistName = "org.vantreel.desktop.helper.plist";
inline constexpr std::string_view helperBinaryName = "org.vantreel.desktop.helper";

// The requirement a caller's running code must meet, assembled afresh on every access.
std::string codeSigningRequirement();

}  // namespace vantreel::Constants
