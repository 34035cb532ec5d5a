#pragma once

#include <string>

namespace vantreel::platform::service {

// The names of the one system job an installer manages. The caller supplies them, so that this
// facility knows nothing of the product it installs.
struct ServiceNames {
  std::string label;               // job label, and the systemd unit's base name
  std::string legacyLabel;         // label of an older job that installation clears out
  std::string machService;         // service the job owns (launchd MachServices)
  std::string binaryName;          // file name of the daemon, in the bundle and installed
  std::string plistName;           // launchd property list of the job
  std::string legacyPlistName;     // launchd property list of the older job
  std::string associatedBundleID;  // app the job belongs to (launchd only)
};

}  // namespace vantreel::platform::service
