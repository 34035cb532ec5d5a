#include "shared/argument_validation.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/posix/check.hpp"

namespace vantreel::ArgumentValidation {
namespace {

constexpr std::string_view kServerInvalid = "server is not a valid host[:port][/path]";
constexpr std::string_view kServerDisallowed = "server argument failed allow-list checks";
constexpr std::string_view kUsernameInvalid =
    "username must be 1\u2013128 characters of A-Z a-z 0-9 . _ @ + -";
constexpr std::string_view kPinInvalid = "servercert is not a valid OpenConnect pin";

constexpr std::string_view kConnectURLInvalid = "connect URL is not a valid https URL";
constexpr std::string_view kConnectURLDisallowed = "connect URL failed allow-list checks";
constexpr std::string_view kFingerprintInvalid =
    "servercert must be the fingerprint the sign-in printed (pin-sha256:... or SHA-1 hex)";
constexpr std::string_view kResolveInvalid =
    "resolve must be host:address with the connect URL's host and a literal address";

constexpr std::int32_t kMaxServerCharacters = 253;

tl::unexpected<Failure> fail(std::string_view message) {
  return tl::unexpected(Failure{std::string(message)});
}

// Calls visit(codePoint, byteOffset, byteLength) for each scalar; false when text is not
// well-formed UTF-8 (ICU refuses overlongs, surrogates and truncated sequences).
template <class Visit>
bool forEachScalar(std::string_view text, Visit&& visit) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t offset = 0;
  while (offset < length) {
    const std::int32_t start = offset;
    UChar32 c = 0;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0) {
      return false;
    }
    visit(c, static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start));
  }
  return true;
}

bool isValidUtf8(std::string_view text) {
  return text.size() <= static_cast<std::size_t>(INT32_MAX) &&
         forEachScalar(text, [](UChar32, std::size_t, std::size_t) {});
}

bool isAscii(std::string_view text) {
  for (const char ch : text) {
    if (static_cast<unsigned char>(ch) > 0x7F) {
      return false;
    }
  }
  return true;
}

bool containsControl(std::string_view text) {
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F) {
      return true;
    }
  }
  return false;
}

// Only for text already known to be valid UTF-8.
icu::UnicodeString unicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

std::unique_ptr<icu::RegexPattern> compile(const char* pattern, std::uint32_t flags) {
  UParseError where{};
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(icu::UnicodeString(pattern, -1, US_INV), flags, where, status));
  VT_CHECK(U_SUCCESS(status) && compiled != nullptr);
  return compiled;
}

// The whole text must match: ICU's "$" also matches before a final line terminator, which a
// search would let through ("alice\n").
bool matchesWhole(const icu::RegexPattern& pattern, const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(text, status));
  if (U_FAILURE(status) || matcher == nullptr) {
    return false;
  }
  const bool matched = matcher->matches(status);
  return U_SUCCESS(status) && matched;
}

const icu::RegexPattern& usernamePattern() {
  static const auto pattern = compile(R"(^[A-Za-z0-9._@+-]{1,128}$)", 0);
  return *pattern;
}

const icu::RegexPattern& pinPattern() {
  static const auto pattern = compile(
      R"(^(?:sha256:|pin-sha256:|sha1:)?[A-Za-z0-9+/=:_-]{16,128}$)", UREGEX_CASE_INSENSITIVE);
  return *pattern;
}

// Exactly the two forms OpenConnect prints for a server's certificate.
const icu::RegexPattern& fingerprintPattern() {
  static const auto pattern =
      compile(R"(^(?:pin-sha256:[A-Za-z0-9+/]{43}=|(?:sha1:)?[0-9A-Fa-f]{40})$)", 0);
  return *pattern;
}

const icu::RegexPattern& dottedQuadPattern() {
  static const auto pattern = compile(R"(^(?:\d{1,3}\.){3}\d{1,3}$)", 0);
  return *pattern;
}

const icu::RegexPattern& hostNamePattern() {
  static const auto pattern =
      compile(R"(^(?=.{1,253}$)[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)"
              R"((?:\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$)",
              0);
  return *pattern;
}

// \d also matches non-ASCII digits, so each group is read again as ASCII.
bool isDottedQuadInRange(std::string_view host) {
  int value = 0;
  int digits = 0;
  for (const char ch : host) {
    if (ch == '.') {
      if (digits == 0) {
        return false;
      }
      value = 0;
      digits = 0;
      continue;
    }
    if (ch < '0' || ch > '9' || ++digits > 3) {
      return false;
    }
    value = value * 10 + (ch - '0');
    if (value > 255) {
      return false;
    }
  }
  return digits > 0;
}

bool isHost(std::string_view host) {
  if (!isValidUtf8(host)) {
    return false;
  }
  const icu::UnicodeString text = unicode(host);
  if (matchesWhole(dottedQuadPattern(), text)) {
    return isDottedQuadInRange(host);
  }
  if (matchesWhole(hostNamePattern(), text)) {
    return true;
  }
  std::string_view rest = host;
  while (!rest.empty() && (rest.front() == '[' || rest.front() == ']')) {
    rest.remove_prefix(1);
  }
  while (!rest.empty() && (rest.back() == '[' || rest.back() == ']')) {
    rest.remove_suffix(1);
  }
  if (rest.find(':') == std::string_view::npos) {
    return false;
  }
  bool acceptable = true;
  forEachScalar(rest, [&acceptable](UChar32 c, std::size_t, std::size_t) {
    constexpr std::uint32_t kLetterMarkNumber = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    if (c != ':' && (U_GET_GC_MASK(c) & kLetterMarkNumber) == 0) {
      acceptable = false;
    }
  });
  return acceptable;
}

std::int32_t graphemeCount(std::string_view text, std::int32_t limit) {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || clusters == nullptr) {
    return limit + 1;  // fail closed
  }
  const icu::UnicodeString unicodeText = unicode(text);
  clusters->setText(unicodeText);
  std::int32_t count = 0;
  clusters->first();
  while (clusters->next() != icu::BreakIterator::DONE && count <= limit) {
    ++count;
  }
  return count;
}

class ParsedUri {
 public:
  ParsedUri() = default;
  ParsedUri(const ParsedUri&) = delete;
  ParsedUri& operator=(const ParsedUri&) = delete;
  ~ParsedUri() {
    if (parsed_) {
      uriFreeUriMembersA(&uri_);
    }
  }

  // An explicit end, so that an embedded NUL is a syntax error instead of the end of the text.
  [[nodiscard]] bool parse(std::string_view text) {
    const char* error = nullptr;
    parsed_ =
        uriParseSingleUriExA(&uri_, text.data(), text.data() + text.size(), &error) == URI_SUCCESS;
    return parsed_;
  }
  [[nodiscard]] const UriUriA& uri() const noexcept { return uri_; }

 private:
  UriUriA uri_{};
  bool parsed_ = false;
};

bool present(const UriTextRangeA& range) { return range.first != nullptr; }

std::string_view view(const UriTextRangeA& range) {
  if (range.first == nullptr) {
    return {};
  }
  return {range.first, static_cast<std::size_t>(range.afterLast - range.first)};
}

std::optional<long> portNumber(std::string_view digits) {
  if (digits.empty()) {
    return std::nullopt;
  }
  long value = 0;
  for (const char ch : digits) {
    if (ch < '0' || ch > '9') {
      return std::nullopt;
    }
    value = value * 10 + (ch - '0');
    if (value > 65535) {
      return std::nullopt;
    }
  }
  return value;
}

// The parser keeps an authority's path as segments, each of which followed a "/".
std::optional<std::string> decodedPath(const UriUriA& uri) {
  std::string path;
  for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
    path += '/';
    path += view(segment->text);
  }
  if (path.empty()) {
    return path;
  }
  const char* end = uriUnescapeInPlaceExA(path.data(), URI_FALSE, URI_BR_DONT_TOUCH);
  path.resize(static_cast<std::size_t>(end - path.data()));
  if (!isValidUtf8(path)) {
    return std::nullopt;
  }
  if (!path.empty() && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

}  // namespace

bool containsShellMeta(std::string_view text) {
  // Every member of the set is ASCII and no byte of a multi-byte UTF-8 sequence is, so a byte
  // walk answers exactly as a walk over scalars (and refuses stray bytes of broken text too).
  constexpr std::string_view kMeta{" \t\n\r;|&$`<>\\\"'\0", 15};
  return text.find_first_of(kMeta) != std::string_view::npos;
}

std::optional<std::string> normalizeServer(std::string_view server) {
  std::size_t begin = server.size();
  std::size_t end = 0;
  bool blankInside = false;
  std::size_t lastBlank = 0;
  bool sawBlank = false;
  const bool wellFormed =
      server.size() <= static_cast<std::size_t>(INT32_MAX) &&
      forEachScalar(server, [&](UChar32 c, std::size_t offset, std::size_t length) {
        if (u_isUWhiteSpace(c)) {
          sawBlank = true;
          lastBlank = offset;
          return;
        }
        if (begin == server.size()) {
          begin = offset;
        } else if (sawBlank && lastBlank > begin) {
          blankInside = true;
        }
        end = offset + length;
      });
  if (!wellFormed || begin == server.size() || blankInside) {
    return std::nullopt;
  }
  const std::string_view trimmed = server.substr(begin, end - begin);

  std::string text;
  if (trimmed.find("://") == std::string_view::npos) {
    text = "https://";
  }
  text += trimmed;

  ParsedUri parsed;
  if (!parsed.parse(text)) {
    return std::nullopt;
  }
  const UriUriA& uri = parsed.uri();

  const std::string_view host = view(uri.hostText);
  if (!present(uri.hostText) || host.empty() || present(uri.hostData.ipFuture)) {
    return std::nullopt;
  }
  std::string scheme(view(uri.scheme));
  for (char& ch : scheme) {
    if (ch >= 'A' && ch <= 'Z') {
      ch = static_cast<char>(ch - 'A' + 'a');
    }
  }
  if (!present(uri.scheme) || scheme != "https") {
    return std::nullopt;
  }
  if (present(uri.userInfo)) {
    const std::string_view userInfo = view(uri.userInfo);
    const std::size_t colon = userInfo.find(':');
    const std::string_view user = userInfo.substr(0, colon);
    const std::string_view password =
        colon == std::string_view::npos ? std::string_view() : userInfo.substr(colon + 1);
    if (!user.empty() || !password.empty()) {
      return std::nullopt;
    }
  }
  if (present(uri.query) || present(uri.fragment)) {
    return std::nullopt;
  }
  std::optional<long> port;
  if (present(uri.portText)) {
    port = portNumber(view(uri.portText));
    if (!port || *port < 1) {
      return std::nullopt;
    }
  }
  if (!isHost(host)) {
    return std::nullopt;
  }
  auto path = decodedPath(uri);
  if (!path) {
    return std::nullopt;
  }

  std::string result;
  if (host.find(':') != std::string_view::npos) {
    result += '[';
    result += host;
    result += ']';
  } else {
    result += host;
  }
  if (port) {
    result += ':';
    result += std::to_string(*port);
  }
  result += *path;
  return result;
}

namespace {

// The allow-list a server passes, with the message for each way it fails.
tl::expected<std::string, Failure> allowedServer(std::string_view server, std::string_view invalid,
                                                 std::string_view disallowed) {
  auto normalized = normalizeServer(server);
  if (!normalized) {
    return fail(invalid);
  }
  // Control characters beyond the shell set are refused too: the server ends up in OpenConnect's
  // requests and logs, where a stray escape or bell has no business.
  if (containsShellMeta(*normalized) || containsControl(*normalized) ||
      graphemeCount(*normalized, kMaxServerCharacters) > kMaxServerCharacters) {
    return fail(disallowed);
  }
  return std::move(*normalized);
}

// The host of a normalized server: a bracketed IPv6 literal keeps its brackets.
std::string_view hostOf(std::string_view normalized) {
  if (normalized.starts_with('[')) {
    return normalized.substr(0, normalized.find(']') + 1);
  }
  return normalized.substr(0, normalized.find_first_of(":/"));
}

bool equalIgnoringAsciiCase(std::string_view left, std::string_view right) {
  return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](char a, char b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(a) == lower(b);
  });
}

bool isAddressLiteral(std::string_view address) {
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  if (address.empty() || address.size() > 45) {
    return false;
  }
  if (isAscii(address) && matchesWhole(dottedQuadPattern(), unicode(address))) {
    return isDottedQuadInRange(address);
  }
  // The URL parser knows IPv6 literals (and refuses zone identifiers, which name no address).
  if (address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
    return false;
  }
  ParsedUri parsed;
  return parsed.parse("https://[" + std::string(address) + "]/") &&
         parsed.uri().hostData.ip6 != nullptr;
}

}  // namespace

tl::expected<ValidatedCookieStart, Failure> validateCookieStart(
    std::string_view connectURL, std::string_view servercert,
    std::optional<std::string_view> resolve) {
  // The path is kept: a group can be chosen by it.
  auto server = allowedServer(connectURL, kConnectURLInvalid, kConnectURLDisallowed);
  if (!server) {
    return tl::unexpected(std::move(server.error()));
  }
  if (!isAscii(servercert) || !matchesWhole(fingerprintPattern(), unicode(servercert))) {
    return fail(kFingerprintInvalid);
  }
  std::optional<std::string> hint;
  if (resolve) {
    // OpenConnect splits the hint at its first colon; an IPv6 address keeps the others.
    const std::size_t colon = resolve->find(':');
    if (colon == std::string_view::npos ||
        !equalIgnoringAsciiCase(resolve->substr(0, colon), hostOf(*server)) ||
        !isAddressLiteral(resolve->substr(colon + 1))) {
      return fail(kResolveInvalid);
    }
    hint = std::string(*resolve);
  }
  return ValidatedCookieStart{std::move(*server), std::string(servercert), std::move(hint)};
}

bool isAcceptableCookie(std::string_view cookie) {
  return !cookie.empty() && cookie.size() <= maxCookieBytes &&
         std::all_of(cookie.begin(), cookie.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::vector<std::string> cookieOpenConnectArgs(const ValidatedCookieStart& validated,
                                               std::string_view script) {
  std::vector<std::string> args{
      "--protocol=anyconnect", "--cookie-on-stdin", "--non-inter",        "--script",
      std::string(script),     "--servercert",      validated.servercert, "--no-system-trust"};
  if (validated.resolve) {
    args.emplace_back("--resolve");
    args.push_back(*validated.resolve);
  }
  args.push_back(validated.server);
  return args;
}

tl::expected<Validated, Failure> validate(std::string_view server, std::string_view username,
                                          std::optional<std::string_view> servercert) {
  auto normalized = allowedServer(server, kServerInvalid, kServerDisallowed);
  if (!normalized) {
    return tl::unexpected(std::move(normalized.error()));
  }
  if (!isValidUtf8(username) || !matchesWhole(usernamePattern(), unicode(username))) {
    return fail(kUsernameInvalid);
  }
  std::optional<std::string> pin;
  if (servercert && !servercert->empty()) {
    // Case-insensitive [A-Za-z] also matches U+212A KELVIN SIGN and U+017F LONG S.
    if (!isAscii(*servercert) || containsShellMeta(*servercert) ||
        !matchesWhole(pinPattern(), unicode(*servercert))) {
      return fail(kPinInvalid);
    }
    pin = std::string(*servercert);
  }
  return Validated{std::move(*normalized), std::string(username), std::move(pin)};
}

std::vector<std::string> openConnectArgs(const Validated& validated, std::string_view script,
                                         std::optional<std::string_view> cafile) {
  std::vector<std::string> args{"--protocol=anyconnect", "--user",      validated.username,
                                "--passwd-on-stdin",     "--non-inter", "--script",
                                std::string(script)};
  if (validated.servercert) {
    // OpenConnect consults a pin only when ordinary chain verification fails, so any trust
    // store it is given (the exported roots, or its own default) would let a server whose chain
    // verifies pass with a key other than the pinned one. A pinned start trusts nothing else.
    args.emplace_back("--servercert");
    args.push_back(*validated.servercert);
    args.emplace_back("--no-system-trust");
  } else if (cafile) {
    args.emplace_back("--cafile");
    args.emplace_back(*cafile);
  }
  args.push_back(validated.server);
  return args;
}

}  // namespace vantreel::ArgumentValidation
