#include "helper/open_connect_line.hpp"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "platform/posix/check.hpp"

namespace vantreel {
namespace {

const icu::RegexPattern& tunnelInterfacePattern() {
  static const std::unique_ptr<icu::RegexPattern> pattern = [] {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8("\\b(?:tun|utun|tap)\\d+\\b"), where, status));
    VT_CHECK(U_SUCCESS(status) && compiled);
    return compiled;
  }();
  return *pattern;
}

}  // namespace

bool namesTunnelInterface(std::string_view line) {
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(line.data(), static_cast<std::int32_t>(line.size())));
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::RegexMatcher> matcher(tunnelInterfacePattern().matcher(text, status));
  if (U_FAILURE(status) || !matcher) {
    return false;
  }
  const bool found = matcher->find(status) != 0;
  return U_SUCCESS(status) && found;
}

OpenConnectLine classifyOpenConnectLine(std::string_view line) {
  // OpenConnect's own wording (version 9), without its translations: the daemon runs it with
  // LANG=en_US.UTF-8.
  static constexpr std::array<std::pair<std::string_view, OpenConnectLine>, 7> kFragments{{
      {"Cookie was rejected by server", OpenConnectLine::sessionEnded},
      {"Session terminated by server", OpenConnectLine::sessionEnded},
      {"Cookie is no longer valid", OpenConnectLine::sessionEnded},
      // A dead DTLS peer only moves the traffic to the TLS channel: no reconnection.
      {"CSTP Dead Peer Detection detected dead peer", OpenConnectLine::reconnecting},
      {"remaining timeout", OpenConnectLine::reconnecting},
      {"User requested reconnect", OpenConnectLine::reconnecting},
      {"CSTP connected.", OpenConnectLine::reconnected},
  }};
  for (const auto& [fragment, meaning] : kFragments) {
    if (line.find(fragment) != std::string_view::npos) {
      return meaning;
    }
  }
  return OpenConnectLine::other;
}

}  // namespace vantreel
