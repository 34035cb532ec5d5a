#include "helperctl/ctl_results.hpp"

#include "helperctl/install_method.hpp"
#include "shared/constants.hpp"

namespace vantreel {

CtlResults::ConnectEnd CtlResults::connectEnd(const HelperOpResult& reply) {
  // An exit status keeps only its low 8 bits: a code outside 0...255 would otherwise be able to
  // end as 0, a failure reported as success.
  const bool fits = reply.code() >= 0 && reply.code() <= 255;
  if (reply.ok()) {
    return ConnectEnd{fits ? static_cast<int>(reply.code()) : 1, std::nullopt};
  }
  // A refused start never ends as success, whatever code came with it.
  const int status = fits && reply.code() != 0 ? static_cast<int>(reply.code()) : 1;
  return ConnectEnd{status, reply.message().empty() ? "connect failed" : reply.message()};
}

nlohmann::json CtlResults::versionPayload() {
  return nlohmann::json{{"state", "ready"},
                        {"version", Constants::helperVersion()},
                        {"bundledVersion", Constants::helperVersion()}};
}

nlohmann::json CtlResults::statusObject(const InstallStatus& installation,
                                        const std::optional<std::string>& version) {
  return nlohmann::json{{"state", installation.state},
                        {"method", std::string(rawValue(installation.method))},
                        {"detail", installation.detail},
                        {"version", version.value_or("")},
                        {"bundledVersion", Constants::helperVersion()}};
}

nlohmann::json CtlResults::installObject(nlohmann::json report, const InstallStatus& installation) {
  report["detail"] = installation.detail;
  report["method"] = std::string(rawValue(installation.method));
  if (report.value("state", "") == "not_installed") {
    report["state"] = installation.state;
  }
  return report;
}

int CtlResults::installExitStatus(const InstallStatus& outcome) {
  return outcome.state == "not_installed" ? 1 : 0;
}

nlohmann::json CtlResults::uninstallObject(const InstallStatus& removal) {
  return nlohmann::json{{"state", removal.state},
                        {"method", std::string(rawValue(removal.method))},
                        {"detail", removal.detail},
                        {"bundledVersion", Constants::helperVersion()}};
}

nlohmann::json CtlResults::disconnectObject(const HelperOpResult& reply) {
  return nlohmann::json{{"state", reply.state()},
                        {"ok", reply.ok()},
                        {"detail", reply.message()},
                        {"version", reply.version()}};
}

nlohmann::json CtlResults::tunnelObject(const HelperOpResult& reply) {
  return nlohmann::json{{"ok", reply.ok()},
                        {"state", reply.state()},
                        {"pid", std::to_string(reply.pid())},
                        {"detail", reply.message()},
                        {"version", reply.version()}};
}

nlohmann::json CtlResults::failureObject(const CtlError& error) {
  return nlohmann::json{{"state", "unavailable"},
                        {"detail", error.description},
                        {"bundledVersion", Constants::helperVersion()}};
}

std::string CtlResults::render(const nlohmann::json& object, bool json) {
  if (json) {
    try {
      return object.dump();
    } catch (const nlohmann::json::exception&) {
      // Text that is not UTF-8 has no JSON form: fall back to the state alone.
    }
  }
  if (object.is_object()) {
    if (const auto state = object.find("state"); state != object.end() && state->is_string()) {
      return state->get<std::string>();
    }
  }
  return {};
}

}  // namespace vantreel
