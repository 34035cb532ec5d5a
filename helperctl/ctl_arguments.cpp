#include "helperctl/ctl_arguments.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "shared/argument_validation.hpp"

namespace vantreel {

std::string CtlArguments::commandWord(const std::vector<std::string>& arguments) {
  const auto found = std::find_if(
      arguments.begin(), arguments.end(),
      [](const std::string& argument) { return !std::string_view(argument).starts_with("-"); });
  return found == arguments.end() ? std::string("status") : *found;
}

std::optional<std::string> CtlArguments::value(std::string_view option,
                                               const std::vector<std::string>& arguments) {
  const auto found = std::find(arguments.begin(), arguments.end(), option);
  if (found == arguments.end() || std::next(found) == arguments.end()) {
    return std::nullopt;
  }
  return *std::next(found);
}

bool CtlArguments::contains(const std::vector<std::string>& arguments, std::string_view option) {
  return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
}

tl::expected<HelperStartRequest, CtlError> CtlArguments::connectRequest(
    const std::vector<std::string>& arguments) {
  const auto server = value("--server", arguments);
  const auto username = value("--user", arguments);
  const auto servercert = value("--servercert", arguments);
  if (!server || !username) {
    return tl::unexpected(CtlError::own(errorCode, missingConnectArguments));
  }
  auto validated = ArgumentValidation::validate(
      *server, *username, servercert ? std::optional<std::string_view>(*servercert) : std::nullopt);
  if (!validated) {
    return tl::unexpected(CtlError::own(errorCode, validated.error().message));
  }
  return HelperStartRequest(std::move(validated->server), std::move(validated->username),
                            std::move(validated->servercert));
}

}  // namespace vantreel
