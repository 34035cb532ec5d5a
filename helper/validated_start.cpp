#include "helper/validated_start.hpp"

#include "platform/service/host.hpp"

namespace vantreel {

tl::expected<ValidatedStart, RunnerError> ValidatedStart::from(const StartRequest& request) {
  const auto optionalView =
      [](const std::optional<std::string>& text) -> std::optional<std::string_view> {
    if (text) {
      return std::string_view(*text);
    }
    return std::nullopt;
  };
  if (const auto* cookieStart = std::get_if<HelperCookieStartRequest>(&request)) {
    auto validated = ArgumentValidation::validateCookieStart(
        cookieStart->connectURL(), cookieStart->servercert(), optionalView(cookieStart->resolve()));
    if (!validated) {
      return tl::unexpected(RunnerError::invalidRequest(validated.error().message));
    }
    return ValidatedStart(std::move(*validated));
  }
  const auto& passwordStart = std::get<HelperStartRequest>(request);
  auto validated = ArgumentValidation::validate(passwordStart.server(), passwordStart.username(),
                                                optionalView(passwordStart.servercert()));
  if (!validated) {
    return tl::unexpected(RunnerError::invalidRequest(validated.error().message));
  }
  return ValidatedStart(std::move(*validated));
}

const std::string& ValidatedStart::server() const {
  return std::visit([](const auto& validated) -> const std::string& { return validated.server; },
                    arguments_);
}

bool ValidatedStart::takesCookie() const {
  return std::holds_alternative<ArgumentValidation::ValidatedCookieStart>(arguments_);
}

bool ValidatedStart::usesTrustStore() const {
  const auto* passwordStart = std::get_if<ArgumentValidation::Validated>(&arguments_);
  return passwordStart != nullptr && !passwordStart->servercert;
}

OpenConnectInvocation ValidatedStart::invocation(const std::string& directory,
                                                 std::optional<std::string_view> cafile) const {
  const std::string script = directory + "/vpnc-script";
  OpenConnectInvocation invocation;
  invocation.program = directory + "/openconnect";
  if (const auto* cookieStart =
          std::get_if<ArgumentValidation::ValidatedCookieStart>(&arguments_)) {
    invocation.arguments = ArgumentValidation::cookieOpenConnectArgs(*cookieStart, script);
  } else {
    invocation.arguments = ArgumentValidation::openConnectArgs(
        std::get<ArgumentValidation::Validated>(arguments_), script, cafile);
  }
  invocation.environment = {
      // OpenConnect's banners lose every non-ASCII character outside a UTF-8 locale, and not
      // every system has en_US.UTF-8 generated.
      {"LANG", platform::service::firstAvailableLocale({"en_US.UTF-8", "C.UTF-8"})},
      {"PATH", directory + ":/usr/bin:/bin:/usr/sbin:/sbin"},
      {"DYLD_LIBRARY_PATH", directory + "/lib"},
  };
  return invocation;
}

}  // namespace vantreel
