#include "helper/caller_validation.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>

namespace vantreel {
namespace {

using platform::codesign::errSecSuccess;
using platform::codesign::kSecCSCheckAllArchitectures;
using platform::codesign::kSecCSDefaultFlags;

constexpr std::size_t kAuditTokenSize = platform::xpc::AuditToken::kSize;
// How many ancestors of the code's location the bundle search looks at.
constexpr int kBundleSearchDepth = 8;

std::optional<std::array<std::byte, kAuditTokenSize>> auditTokenData(
    const platform::xpc::Connection& connection) {
  std::array<unsigned char, kAuditTokenSize> raw{};
  if (VTHCopyAuditTokenData(&connection, raw.data(), raw.size()) == 0) {
    return std::nullopt;
  }
  std::array<std::byte, kAuditTokenSize> bytes{};
  std::transform(raw.begin(), raw.end(), bytes.begin(),
                 [](unsigned char c) { return static_cast<std::byte>(c); });
  return bytes;
}

std::string_view lastComponent(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A name such as ".app" is hidden, not an extension; comparison is case-sensitive on purpose.
bool hasAppExtension(std::string_view path) {
  const auto name = lastComponent(path);
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "app";
}

std::string deletingLastComponent(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    return {};
  }
  if (slash == 0) {
    return "/";
  }
  return path.substr(0, slash);
}

std::string resolvingSymlinks(const std::string& path) {
  std::error_code error;
  auto resolved = std::filesystem::canonical(path, error);
  if (error) {
    return path;
  }
  return resolved.string();
}

}  // namespace
}  // namespace vantreel

int VTHCopyAuditTokenData(const vantreel::platform::xpc::Connection* connection,
                          unsigned char* token, std::size_t length) noexcept {
  if (connection == nullptr || token == nullptr ||
      length < vantreel::platform::xpc::AuditToken::kSize) {
    return 0;
  }
  const auto audit = connection->auditToken();
  if (!audit) {
    return 0;
  }
  std::transform(audit->bytes().begin(), audit->bytes().end(), token,
                 [](std::byte b) { return static_cast<unsigned char>(b); });
  return 1;
}

namespace vantreel::CallerValidation {

tl::expected<std::shared_ptr<platform::codesign::SecRequirement>, CallerValidationError>
requirement(CodeSigning& security) {
  auto compiled = security.SecRequirementCreateWithString(Constants::codeSigningRequirement(),
                                                          kSecCSDefaultFlags);
  if (!compiled) {
    return tl::unexpected(CallerValidationError::secCode(compiled.error()));
  }
  if (!*compiled) {
    return tl::unexpected(CallerValidationError::secCode(errSecSuccess));
  }
  return *compiled;
}

tl::expected<std::shared_ptr<platform::codesign::SecCode>, CallerValidationError> secCode(
    const platform::xpc::Connection& connection, CodeSigning& security) {
  const auto token = auditTokenData(connection);
  if (!token) {
    return tl::unexpected(CallerValidationError::missingAuditToken());
  }
  auto code = security.SecCodeCopyGuestWithAttributes(std::span<const std::byte>(*token),
                                                      kSecCSDefaultFlags);
  if (!code) {
    return tl::unexpected(CallerValidationError::secCode(code.error()));
  }
  if (!*code) {
    return tl::unexpected(CallerValidationError::secCode(errSecSuccess));
  }
  return *code;
}

tl::expected<std::string, CallerValidationError> verify(const platform::xpc::Connection& connection,
                                                        CodeSigning& security) {
  auto code = secCode(connection, security);
  if (!code) {
    return tl::unexpected(code.error());
  }
  auto compiled = requirement(security);
  if (!compiled) {
    return tl::unexpected(compiled.error());
  }
  if (security.SecCodeCheckValidity(*code, kSecCSDefaultFlags, *compiled) != errSecSuccess) {
    return tl::unexpected(CallerValidationError::requirementFailed());
  }
  return appBundleURL(*code, security);
}

tl::expected<std::string, CallerValidationError> appBundleURL(
    const std::shared_ptr<platform::codesign::SecCode>& code, CodeSigning& security) {
  auto staticCode = security.SecCodeCopyStaticCode(code, kSecCSDefaultFlags);
  if (!staticCode) {
    return tl::unexpected(CallerValidationError::secCode(staticCode.error()));
  }
  if (!*staticCode) {
    return tl::unexpected(CallerValidationError::secCode(errSecSuccess));
  }
  auto path = security.SecCodeCopyPath(*staticCode, kSecCSDefaultFlags);
  if (!path) {
    return tl::unexpected(CallerValidationError::secCode(path.error()));
  }

  std::string location = resolvingSymlinks(*path);
  std::optional<std::string> candidate;
  if (hasAppExtension(location)) {
    candidate = location;
  }
  location = deletingLastComponent(location);
  // The outermost match wins, so an app nested in another app resolves to the outer one.
  for (int budget = kBundleSearchDepth; budget > 0 && location != "/"; --budget) {
    if (hasAppExtension(location)) {
      candidate = location;
    }
    location = deletingLastComponent(location);
  }
  if (!candidate) {
    return tl::unexpected(CallerValidationError::bundleNotFound());
  }
  return *candidate;
}

bool isSignedByTeam(const std::string& url, const std::string& teamID, CodeSigning& security) {
  auto staticCode = security.SecStaticCodeCreateWithPath(url, kSecCSDefaultFlags);
  if (!staticCode || !*staticCode) {
    return false;
  }
  const std::string text =
      "anchor apple generic and certificate leaf[subject.OU] = \"" + teamID + "\"";
  auto compiled = security.SecRequirementCreateWithString(text, kSecCSDefaultFlags);
  if (!compiled || !*compiled) {
    return false;
  }
  return security.SecStaticCodeCheckValidity(*staticCode, kSecCSCheckAllArchitectures, *compiled) ==
         errSecSuccess;
}

platform::xpc::RequirementCheck requirementCheck(CodeSigning& security) {
  return [&security](const platform::xpc::AuditToken& token, const std::string& text) {
    auto code = security.SecCodeCopyGuestWithAttributes(std::span<const std::byte>(token.bytes()),
                                                        kSecCSDefaultFlags);
    if (!code || !*code) {
      return false;
    }
    auto compiled = security.SecRequirementCreateWithString(text, kSecCSDefaultFlags);
    if (!compiled || !*compiled) {
      return false;
    }
    return security.SecCodeCheckValidity(*code, kSecCSDefaultFlags, *compiled) == errSecSuccess;
  };
}

}  // namespace vantreel::CallerValidation
