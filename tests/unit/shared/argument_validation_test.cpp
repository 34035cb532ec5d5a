#include "shared/argument_validation.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vantreel {
namespace {

using ArgumentValidation::normalizeServer;
using ArgumentValidation::validate;

constexpr const char* kServerInvalid = "server is not a valid host[:port][/path]";
constexpr const char* kServerDisallowed = "server argument failed allow-list checks";
constexpr const char* kUsernameInvalid =
    "username must be 1\u2013128 characters of A-Z a-z 0-9 . _ @ + -";
constexpr const char* kPinInvalid = "servercert is not a valid OpenConnect pin";
constexpr const char* kPin16 = "ABCDEFGHabcdef01";

std::string failureOf(std::string_view server, std::string_view user = "alice",
                      std::optional<std::string_view> pin = std::nullopt) {
  const auto result = validate(server, user, pin);
  return result ? std::string("<valid>") : result.error().message;
}

std::string label(std::size_t length) { return std::string(length, 'a'); }

TEST(ArgumentValidation, MessagesAreExactTexts) {
  EXPECT_EQ(std::string(kUsernameInvalid).size(), 60U);
  EXPECT_EQ(failureOf(""), kServerInvalid);
  EXPECT_EQ(failureOf("gw.example.com/a%20b"), kServerDisallowed);
  EXPECT_EQ(failureOf("gw.example.com", ""), kUsernameInvalid);
  EXPECT_EQ(failureOf("gw.example.com", "alice", "short"), kPinInvalid);
}

TEST(ArgumentValidation, ServerIsTrimmedAndLosesItsScheme) {
  EXPECT_EQ(normalizeServer("  gw.example.com\n"), "gw.example.com");
  EXPECT_EQ(normalizeServer("\u00a0gw.example.com\u2029"), "gw.example.com");
  EXPECT_EQ(normalizeServer("gw.example.com:8443"), "gw.example.com:8443");
  EXPECT_EQ(normalizeServer("https://gw.example.com/"), "gw.example.com");
  EXPECT_EQ(normalizeServer("HTTPS://GW.Example.com/Group/"), "GW.Example.com/Group");
  EXPECT_EQ(normalizeServer("https://gw.example.com//"), "gw.example.com/");
  for (const char* bad :
       {"", "   ", "\n", "gw example.com", "gw.example.com /x", "http://gw.example.com",
        "ftp://gw.example.com", "https://", "https:///path", "gw.example.com/x://y"}) {
    EXPECT_EQ(normalizeServer(bad), std::nullopt) << bad;
  }
}

TEST(ArgumentValidation, PortBoundaries) {
  EXPECT_EQ(normalizeServer("gw:1"), "gw:1");
  EXPECT_EQ(normalizeServer("gw:65535"), "gw:65535");
  EXPECT_EQ(normalizeServer("gw:0443"), "gw:443");
  EXPECT_EQ(normalizeServer("gw:000000000000000000000443"), "gw:443");
  for (const char* bad : {"gw:0", "gw:00", "gw:65536", "gw:99999999999999999999", "gw:"}) {
    EXPECT_EQ(normalizeServer(bad), std::nullopt) << bad;
  }
}

TEST(ArgumentValidation, IpLiterals) {
  EXPECT_EQ(normalizeServer("[::1]:8443"), "[::1]:8443");
  EXPECT_EQ(normalizeServer("https://[FE80::1]/vpn/"), "[FE80::1]/vpn");
  EXPECT_EQ(normalizeServer("255.255.255.255"), "255.255.255.255");
  EXPECT_EQ(normalizeServer("010.001.0.9"), "010.001.0.9");
  EXPECT_EQ(normalizeServer("256.1.1.1"), std::nullopt);
  EXPECT_EQ(normalizeServer("1.2.3.256"), std::nullopt);
  // IPvFuture would otherwise pass as the host name "v1.x".
  EXPECT_EQ(normalizeServer("[v1.x]"), std::nullopt);
  // A dotted address inside an IPv6 literal holds characters outside L, M, N and ":".
  EXPECT_EQ(normalizeServer("[::ffff:1.2.3.4]"), std::nullopt);
}

TEST(ArgumentValidation, HostNameLabelsAndTotalLength) {
  EXPECT_TRUE(normalizeServer(label(63) + ".com"));
  EXPECT_FALSE(normalizeServer(label(64) + ".com"));
  for (const char* bad : {"gw_1.example.com", "-gw.example.com", "gw-.example.com",
                          "gw..example.com", ".gw.example.com", "gw.example.com.", "gw%41.com"}) {
    EXPECT_EQ(normalizeServer(bad), std::nullopt) << bad;
  }
  // 63+1+63+1+63+1+61 = 253 characters passes; one more is refused by the host rule.
  const std::string host253 = label(63) + "." + label(63) + "." + label(63) + "." + label(61);
  ASSERT_EQ(host253.size(), 253U);
  EXPECT_EQ(failureOf(host253), "<valid>");
  EXPECT_EQ(failureOf(host253 + "a"), kServerInvalid);
}

TEST(ArgumentValidation, NormalisedLengthCountsUserPerceivedCharacters) {
  const std::string base = "gw.example.com/";  // 15 characters
  EXPECT_EQ(failureOf(base + label(238)), "<valid>");
  EXPECT_EQ(failureOf(base + label(239)), kServerDisallowed);
  // "e" + U+0301 COMBINING ACUTE is one character of three bytes.
  std::string combined;
  for (int i = 0; i < 238; ++i) {
    combined += "e%CC%81";
  }
  EXPECT_EQ(failureOf(base + combined), "<valid>");
  EXPECT_EQ(failureOf(base + combined + "e"), kServerDisallowed);
}

TEST(ArgumentValidation, UserInformationQueryAndFragmentAreRefused) {
  for (const char* bad : {"https://user@gw", "https://user:pw@gw", "https://:pw@gw", "gw?",
                          "gw/?a=b", "gw#", "gw/x#frag", "user@gw"}) {
    EXPECT_EQ(failureOf(bad), kServerInvalid) << bad;
  }
  // Empty user information carries no name or password.
  EXPECT_EQ(normalizeServer("https://@gw"), "gw");
  EXPECT_EQ(normalizeServer("https://:@gw"), "gw");
}

TEST(ArgumentValidation, DecodedPathIsCheckedAfterNormalisation) {
  EXPECT_EQ(normalizeServer("gw/a%3Bb"), "gw/a;b");
  EXPECT_EQ(failureOf("gw/a%3Bb"), kServerDisallowed);
  EXPECT_EQ(failureOf("gw/a%20b"), kServerDisallowed);
  EXPECT_EQ(failureOf("gw/a%00b"), kServerDisallowed);
  EXPECT_EQ(failureOf("gw/a%0Ab"), kServerDisallowed);
  EXPECT_EQ(failureOf("gw/a%60id%60"), kServerDisallowed);
  EXPECT_EQ(normalizeServer("gw/caf%C3%A9"), "gw/caf\u00e9");
  EXPECT_EQ(failureOf("gw/a{b"), kServerInvalid);  // outside the URL grammar
}

TEST(ArgumentValidation, ControlBytesAndBrokenUtf8InThePath) {
  EXPECT_EQ(failureOf("gw/a%1Bb"), kServerDisallowed);  // ESC
  EXPECT_EQ(failureOf("gw/a%07"), kServerDisallowed);   // BEL
  EXPECT_EQ(failureOf("gw/a%7F"), kServerDisallowed);   // DEL
  EXPECT_EQ(failureOf("gw/a%FF"), kServerInvalid);
  EXPECT_EQ(failureOf("gw/a%C3"), kServerInvalid);       // truncated sequence
  EXPECT_EQ(failureOf("gw/a%C0%AF"), kServerInvalid);    // overlong "/"
  EXPECT_EQ(failureOf("gw/%ED%A0%80"), kServerInvalid);  // encoded surrogate
}

TEST(ArgumentValidation, RawInputThatIsNotPlainText) {
  // The parser must see the embedded NUL instead of stopping at it.
  EXPECT_EQ(failureOf(std::string_view("gw\0.evil.com", 12)), kServerInvalid);
  EXPECT_EQ(failureOf(std::string_view("gw.example.com\0", 15)), kServerInvalid);
  EXPECT_EQ(failureOf("gw.example.com\xff"), kServerInvalid);
  EXPECT_EQ(failureOf("gw.example.com", "al\xc3"), kUsernameInvalid);
  EXPECT_EQ(failureOf("gw.example.com", std::string_view("alice\0", 6)), kUsernameInvalid);
  EXPECT_EQ(failureOf("gw.example.com", "alice", "ABCDEFGHabcdef01\xff"), kPinInvalid);
  EXPECT_EQ(failureOf("gw.\xd0\xb5xample.com"), kServerInvalid);  // Cyrillic "e"
}

TEST(ArgumentValidation, UserNameBoundaries) {
  EXPECT_EQ(failureOf("gw", "a"), "<valid>");
  EXPECT_EQ(failureOf("gw", std::string(128, 'u')), "<valid>");
  EXPECT_EQ(failureOf("gw", "A.z_0@x+y-z"), "<valid>");
  for (const std::string& bad :
       {std::string(), std::string(129, 'u'), std::string("al ice"), std::string("j\u00f6rg"),
        std::string("al;ice"), std::string("alice\n"), std::string("alice\r\n"),
        std::string("alice\u0085"), std::string("alice\u2028"), std::string("alice\u2029")}) {
    EXPECT_EQ(failureOf("gw", bad), kUsernameInvalid) << bad;
  }
}

TEST(ArgumentValidation, PinLengthsAndPrefixes) {
  const auto pin = [](std::string_view p) { return failureOf("gw", "alice", p); };
  EXPECT_EQ(pin(std::string(15, 'a')), kPinInvalid);
  EXPECT_EQ(pin(std::string(16, 'a')), "<valid>");
  EXPECT_EQ(pin("sha256:" + std::string(8, 'a')), kPinInvalid);  // 15 in all
  EXPECT_EQ(pin("sha256:" + std::string(9, 'a')), "<valid>");    // 16 in all
  EXPECT_EQ(pin(std::string(128, 'a')), "<valid>");
  EXPECT_EQ(pin(std::string(129, 'a')), kPinInvalid);
  EXPECT_EQ(pin("pin-sha256:" + std::string(128, 'a')), "<valid>");
  EXPECT_EQ(pin("PIN-SHA256:" + std::string(128, 'a')), "<valid>");
  EXPECT_EQ(pin("Sha1:" + std::string(128, 'a')), "<valid>");
  EXPECT_EQ(pin("pin-sha256:" + std::string(129, 'a')), kPinInvalid);
  EXPECT_EQ(pin("pin-sha256:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="), "<valid>");
  EXPECT_EQ(pin("abcdefghijklmnop;"), kPinInvalid);
  EXPECT_EQ(pin("abcdefghijklmnop qr"), kPinInvalid);

  const auto valid = validate("gw", "alice", "Sha256:AbCdEfGhIjKlMnOp");
  ASSERT_TRUE(valid);
  EXPECT_EQ(valid->servercert, "Sha256:AbCdEfGhIjKlMnOp");
}

TEST(ArgumentValidation, PinRefusesLineTerminatorsAndNonAsciiLetters) {
  const std::string base = kPin16;
  for (const std::string& bad :
       {base + "\n", base + "\r\n", base + "\u0085", base + "\u2028", base + "\u2029",
        base + "\u212a",                  // KELVIN SIGN folds to "k"
        std::string(15, 'a') + "\u017f",  // LONG S folds to "s"
        "\u017fha256:" + std::string(16, 'a')}) {
    EXPECT_EQ(failureOf("gw", "alice", bad), kPinInvalid) << bad;
  }
}

TEST(ArgumentValidation, EmptyPinIsNoPin) {
  const auto valid = validate("gw", "alice", "");
  ASSERT_TRUE(valid);
  EXPECT_EQ(valid->servercert, std::nullopt);
  EXPECT_EQ(ArgumentValidation::openConnectArgs(*valid, "/s", std::nullopt).size(), 8U);
}

TEST(ArgumentValidation, FirstFailingFieldDecides) {
  EXPECT_EQ(failureOf("bad host", "bad user", "bad pin"), kServerInvalid);
  EXPECT_EQ(failureOf("gw/%3B", "bad user", "bad pin"), kServerDisallowed);
  EXPECT_EQ(failureOf("gw", "bad user", "bad pin"), kUsernameInvalid);
}

TEST(ArgumentValidation, ShellMetaCharacters) {
  using ArgumentValidation::containsShellMeta;
  for (const char ch : std::string_view(" \t\n\r;|&$`<>\\\"'\0", 15)) {
    EXPECT_TRUE(containsShellMeta(std::string("ab") + ch + "cd")) << static_cast<int>(ch);
  }
  EXPECT_FALSE(containsShellMeta(""));
  EXPECT_FALSE(containsShellMeta("gw.example.com/a(b)*?!~%{}^[]#"));
  EXPECT_FALSE(containsShellMeta("caf\u00e9\u3000"));
}

TEST(ArgumentValidation, OpenConnectArgumentsInOrder) {
  const auto plain = validate(" https://gw.example.com:0443/grp/ ", "alice", std::nullopt);
  ASSERT_TRUE(plain);
  EXPECT_EQ(ArgumentValidation::openConnectArgs(*plain, "/app/vpnc-script", std::nullopt),
            (std::vector<std::string>{"--protocol=anyconnect", "--user", "alice",
                                      "--passwd-on-stdin", "--non-inter", "--script",
                                      "/app/vpnc-script", "gw.example.com:443/grp"}));

  const auto pinned = validate("gw", "-bob", kPin16);
  ASSERT_TRUE(pinned);
  // A pin is never weakened by a trust store: no CA file, no system trust.
  const std::vector<std::string> pinnedArgs{"--protocol=anyconnect",
                                            "--user",
                                            "-bob",
                                            "--passwd-on-stdin",
                                            "--non-inter",
                                            "--script",
                                            "/s",
                                            "--servercert",
                                            kPin16,
                                            "--no-system-trust",
                                            "gw"};
  EXPECT_EQ(ArgumentValidation::openConnectArgs(*pinned, "/s", "/roots.pem"), pinnedArgs);
  EXPECT_EQ(ArgumentValidation::openConnectArgs(*pinned, "/s", std::nullopt), pinnedArgs);

  EXPECT_EQ(ArgumentValidation::openConnectArgs(*plain, "/s", "/roots.pem"),
            (std::vector<std::string>{"--protocol=anyconnect", "--user", "alice",
                                      "--passwd-on-stdin", "--non-inter", "--script", "/s",
                                      "--cafile", "/roots.pem", "gw.example.com:443/grp"}));
}

}  // namespace
}  // namespace vantreel
