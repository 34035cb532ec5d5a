#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <tl/expected.hpp>

#include "helper/caller_validation_error.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/sec_code.hpp"
#include "platform/codesign/sec_requirement.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/requirement_check.hpp"
#include "shared/constants.hpp"

// Copies the kernel's audit token of connection's peer into the caller's 32 bytes at token and
// answers 1; answers 0, leaving the buffer alone, when the connection is null, has no peer
// token, or length is below 32. The caller owns the buffer, so nothing has to be released
// across the C boundary. Exported from the daemon program under this unmangled name.
extern "C" int VTHCopyAuditTokenData(const vantreel::platform::xpc::Connection* connection,
                                     unsigned char* token, std::size_t length) noexcept;

// Who is calling the daemon: whether the peer of a connection is validly signed code of the
// product, and which app bundle it runs from. Every call does the full signature work afresh;
// nothing is cached. The CodeSigning parameter is a seam for tests.
namespace vantreel::CallerValidation {

using platform::codesign::CodeSigning;

// Constants::codeSigningRequirement, compiled.
[[nodiscard]] tl::expected<std::shared_ptr<platform::codesign::SecRequirement>,
                           CallerValidationError>
requirement(CodeSigning& security = CodeSigning::real());

// The running code of the connection's peer, named by its audit token.
[[nodiscard]] tl::expected<std::shared_ptr<platform::codesign::SecCode>, CallerValidationError>
secCode(const platform::xpc::Connection& connection, CodeSigning& security = CodeSigning::real());

// The path of the app bundle of a peer whose running code satisfies the requirement.
[[nodiscard]] tl::expected<std::string, CallerValidationError> verify(
    const platform::xpc::Connection& connection, CodeSigning& security = CodeSigning::real());

// The outermost ".app" among the code's own location and its eight nearest ancestors.
[[nodiscard]] tl::expected<std::string, CallerValidationError> appBundleURL(
    const std::shared_ptr<platform::codesign::SecCode>& code,
    CodeSigning& security = CodeSigning::real());

// Whether the file or bundle at url carries a valid signature under teamID; false on any
// failure.
[[nodiscard]] bool isSignedByTeam(const std::string& url,
                                  const std::string& teamID = Constants::teamID(),
                                  CodeSigning& security = CodeSigning::real());

// The transport's per-message check: the peer's running code against a requirement text.
[[nodiscard]] platform::xpc::RequirementCheck requirementCheck(
    CodeSigning& security = CodeSigning::real());

}  // namespace vantreel::CallerValidation
