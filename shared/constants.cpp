#include "shared/constants.hpp"

#include "shared/injected.hpp"

namespace vantreel::Constants {

const std::string& teamID() {
  static const std::string value = Injected::teamID;
  return value;
}

const std::string& helperVersion() {
  static const std::string value = Injected::helperVersion;
  return value;
}

std::string codeSigningRequirement() {
  std::string text = R"(anchor apple generic and certificate leaf[subject.OU] = ")";
  text += teamID();
  text += R"(" and (identifier ")";
  text += appBundleID;
  text += R"(" or identifier ")";
  text += helperCtlBundleID;
  text += R"("))";
  return text;
}

}  // namespace vantreel::Constants
