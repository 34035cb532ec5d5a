#pragma once

#include <string>

#include "helperctl/install_method.hpp"

namespace vantreel {

// The outcome of a state probe, an installation or a removal: state is one of "ready",
// "not_installed" and "version_mismatch".
struct InstallStatus {
  std::string state;
  InstallMethod method = InstallMethod::none;
  std::string detail;

  friend bool operator==(const InstallStatus&, const InstallStatus&) = default;
};

}  // namespace vantreel
