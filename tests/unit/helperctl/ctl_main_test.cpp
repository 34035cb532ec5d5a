#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "helperctl/buffered_input.hpp"
#include "helperctl/ctl_arguments.hpp"
#include "helperctl/ctl_results.hpp"
#include "helperctl/helper_install.hpp"
#include "helperctl/sign_in.hpp"
#include "platform/process/pipe.hpp"
#include "shared/constants.hpp"

namespace vantreel {
namespace {

using Args = std::vector<std::string>;

TEST(CtlCommandWordTest, FirstArgumentWithoutDashIsTheCommand) {
  EXPECT_EQ(CtlArguments::commandWord({}), "status");
  EXPECT_EQ(CtlArguments::commandWord({"--json"}), "status");
  EXPECT_EQ(CtlArguments::commandWord({"--json", "-h", "--help"}), "status");
  EXPECT_EQ(CtlArguments::commandWord({"--json", "version"}), "version");
  EXPECT_EQ(CtlArguments::commandWord({"disconnect", "status"}), "disconnect");
  // Option values count as arguments: a value before the command word is taken for it.
  EXPECT_EQ(CtlArguments::commandWord({"--server", "host", "connect"}), "host");
  // Case is kept; matching the commands is the dispatcher's business.
  EXPECT_EQ(CtlArguments::commandWord({"Status"}), "Status");
  // An empty argument does not begin with "-".
  EXPECT_EQ(CtlArguments::commandWord({"--json", "", "status"}), "");
}

TEST(CtlOptionValueTest, ArgumentAfterFirstOccurrenceTakenAsItIs) {
  const Args args = {"connect", "--server", "-weird", "--user", "u", "--server", "second"};
  EXPECT_EQ(CtlArguments::value("--server", args), "-weird");
  EXPECT_EQ(CtlArguments::value("--user", args), "u");
  EXPECT_EQ(CtlArguments::value("--servercert", args), std::nullopt);
  // The option as the last argument has no value; an empty value is still a value.
  EXPECT_EQ(CtlArguments::value("--user", Args{"connect", "--user"}), std::nullopt);
  EXPECT_EQ(CtlArguments::value("--user", Args{"--user", ""}), "");
  // Exact text only: no prefixes, no "=" forms.
  EXPECT_EQ(CtlArguments::value("--user", Args{"--user=u", "x"}), std::nullopt);
  EXPECT_EQ(CtlArguments::value("--serv", Args{"--server", "x"}), std::nullopt);
}

TEST(CtlConnectRequestTest, MissingValuesAndValidationFailures) {
  const auto refused = [](const Args& args) {
    auto request = CtlArguments::connectRequest(args);
    EXPECT_FALSE(request.has_value());
    if (request) {
      return CtlError{};
    }
    EXPECT_EQ(request.error().domain, Constants::helperCtlBundleID);
    EXPECT_EQ(request.error().code, 64);
    return request.error();
  };
  EXPECT_EQ(refused({"connect"}).description, "connect requires --server and --user");
  EXPECT_EQ(refused({"connect", "--server", "vpn.example.com"}).description,
            "connect requires --server and --user");
  EXPECT_EQ(refused({"connect", "--server", "vpn.example.com", "--user"}).description,
            "connect requires --server and --user");
  // "--user" is the server's value here, "u" the user name: validation then refuses the server.
  EXPECT_EQ(refused({"connect", "--server", "--user", "u"}).description,
            "server is not a valid host[:port][/path]");
  EXPECT_EQ(
      refused({"connect", "--server", "https://vpn.example.com/a%20b", "--user", "u"}).description,
      "server argument failed allow-list checks");
  EXPECT_EQ(refused({"connect", "--server", "vpn.example.com", "--user", "a b"}).description,
            "username must be 1\u2013128 characters of A-Z a-z 0-9 . _ @ + -");
  EXPECT_EQ(refused({"connect", "--server", "vpn.example.com", "--user", "u", "--servercert",
                     "sha256:abc"})
                .description,
            "servercert is not a valid OpenConnect pin");
}

TEST(CtlConnectRequestTest, CarriesTheNormalisedValues) {
  auto request = CtlArguments::connectRequest({"connect", "--user", "user1", "--server",
                                               " https://vpn.example.com:0443/group/ ",
                                               "--servercert", "pin-sha256:AAAAAAAAAAAAAAAAAAAA"});
  ASSERT_TRUE(request.has_value()) << request.error().description;
  EXPECT_EQ(*request, HelperStartRequest("vpn.example.com:443/group", "user1",
                                         std::string("pin-sha256:AAAAAAAAAAAAAAAAAAAA")));
  // An empty pin is no pin.
  request = CtlArguments::connectRequest(
      {"connect", "--server", "vpn.example.com", "--user", "u", "--servercert", ""});
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->servercert(), std::nullopt);
}

TEST(CtlConnectEndTest, ExitStatusAndMessageFromTheReply) {
  using End = CtlResults::ConnectEnd;
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(true, 0)), (End{0, std::nullopt}));
  // OpenConnect's own failure ends with its status and nothing on standard error.
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(true, 3, "ignored")), (End{3, std::nullopt}));
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(false, 1, "a tunnel is already running")),
            (End{1, "a tunnel is already running"}));
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(false, 2, "")), (End{2, "connect failed"}));
  // A refused start never ends as success.
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(false, 0, "")), (End{1, "connect failed"}));
  // Only the low 8 bits of a status survive: codes that would wrap become 1, never 0.
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(true, 256)).status, 1);
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(true, -1)).status, 1);
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(false, 1LL << 40, "x")), (End{1, "x"}));
  EXPECT_EQ(
      CtlResults::connectEnd(HelperOpResult(true, std::numeric_limits<std::int64_t>::min())).status,
      1);
  EXPECT_EQ(CtlResults::connectEnd(HelperOpResult(true, 255)).status, 255);
}

TEST(CtlResultObjectTest, EachCommandsKeys) {
  const std::string& bundled = Constants::helperVersion();
  EXPECT_EQ(
      CtlResults::versionPayload(),
      (nlohmann::json{{"state", "ready"}, {"version", bundled}, {"bundledVersion", bundled}}));

  EXPECT_EQ(CtlResults::statusObject(InstallStatus{"not_installed", InstallMethod::none, ""},
                                     std::nullopt),
            (nlohmann::json{{"state", "not_installed"},
                            {"method", "none"},
                            {"detail", ""},
                            {"version", ""},
                            {"bundledVersion", bundled}}));
  EXPECT_EQ(CtlResults::statusObject(
                InstallStatus{"version_mismatch", InstallMethod::launchd, "installed 0.9"}, "0.9"),
            (nlohmann::json{{"state", "version_mismatch"},
                            {"method", "launchd"},
                            {"detail", "installed 0.9"},
                            {"version", "0.9"},
                            {"bundledVersion", bundled}}));

  EXPECT_EQ(CtlResults::uninstallObject(
                InstallStatus{"not_installed", InstallMethod::none, "unregistered"}),
            (nlohmann::json{{"state", "not_installed"},
                            {"method", "none"},
                            {"detail", "unregistered"},
                            {"bundledVersion", bundled}}));

  EXPECT_EQ(CtlResults::disconnectObject(
                HelperOpResult(false, 1, "no tunnel is running", "idle", "1.0.1", 44)),
            (nlohmann::json{{"state", "idle"},
                            {"ok", false},
                            {"detail", "no tunnel is running"},
                            {"version", "1.0.1"}}));
  const auto stopping =
      CtlResults::disconnectObject(HelperOpResult(true, 0, "stopping", "stopping"));
  EXPECT_TRUE(stopping.at("ok").is_boolean());
  EXPECT_TRUE(stopping.at("ok").get<bool>());

  EXPECT_EQ(CtlResults::failureObject(CtlError{"d", 2, "XPC call timed out"}),
            (nlohmann::json{{"state", "unavailable"},
                            {"detail", "XPC call timed out"},
                            {"bundledVersion", bundled}}));
}

TEST(CtlResultObjectTest, InstallMergesTheInstallationIntoTheReport) {
  const InstallStatus installed{"ready", InstallMethod::launchd,
                                "registered via launchd (admin prompt)"};
  // No daemon answered yet: the installation's state stands in for "not_installed".
  auto merged = CtlResults::installObject(
      CtlResults::statusObject(InstallStatus{"not_installed", InstallMethod::none, ""},
                               std::nullopt),
      installed);
  EXPECT_EQ(merged, (nlohmann::json{{"state", "ready"},
                                    {"method", "launchd"},
                                    {"detail", "registered via launchd (admin prompt)"},
                                    {"version", ""},
                                    {"bundledVersion", Constants::helperVersion()}}));
  // A daemon that answered keeps its state and version; method and detail are the installation's.
  merged = CtlResults::installObject(
      CtlResults::statusObject(
          InstallStatus{"version_mismatch", InstallMethod::launchd, "installed 0.1, bundled x"},
          "0.1"),
      installed);
  EXPECT_EQ(merged.at("state"), "version_mismatch");
  EXPECT_EQ(merged.at("version"), "0.1");
  EXPECT_EQ(merged.at("detail"), "registered via launchd (admin prompt)");
  EXPECT_EQ(CtlResults::installExitStatus(installed), 0);

  // Installed, but no daemon ever answered: a failure, not the installation's "ready".
  const auto unanswered = HelperInstall::awaitDaemon(
      installed, [] { return std::optional<std::string>(); }, std::chrono::milliseconds(100),
      std::chrono::milliseconds(50));
  merged = CtlResults::installObject(
      CtlResults::statusObject(InstallStatus{"not_installed", InstallMethod::none, ""},
                               std::nullopt),
      unanswered);
  EXPECT_EQ(merged, (nlohmann::json{{"state", "not_installed"},
                                    {"method", "none"},
                                    {"detail",
                                     "registered via launchd (admin prompt); the daemon did not "
                                     "answer within 0.1 s"},
                                    {"version", ""},
                                    {"bundledVersion", Constants::helperVersion()}}));
  EXPECT_EQ(CtlResults::installExitStatus(unanswered), 1);
}

TEST(CtlRenderTest, CompactJsonOrTheStateAlone) {
  const nlohmann::json object{{"state", "idle"}, {"ok", false}, {"detail", "a \"quoted\"\nline"}};
  const auto line = CtlResults::render(object, true);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find(": "), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(line), object);
  EXPECT_EQ(CtlResults::render(object, false), "idle");
  // Text that is not UTF-8 has no JSON form.
  const nlohmann::json broken{{"state", "unavailable"}, {"detail", std::string("\xff\xfe")}};
  EXPECT_EQ(CtlResults::render(broken, true), "unavailable");
  EXPECT_EQ(CtlResults::render(nlohmann::json{{"detail", std::string("\xff")}}, true), "");
}

// What OpenConnect --authenticate prints and says, as the sign-in reads it.
TEST(CtlBufferedInputTest, LinesAsTheyCameAndTheEndOnlyWhenNothingIsLeft) {
  struct Case {
    std::string input;
    std::size_t limit;
    std::vector<BufferedInput::Line> lines;  // read in turn; the last one of each is the end
  };
  using Line = BufferedInput::Line;
  const std::string big(18000, 'a');  // more than the buffer's first room
  const std::vector<Case> cases = {
      {"", 8, {Line{"", false, true}}},
      {"pw\nrest", 8, {Line{"pw"}, Line{"rest"}, Line{"", false, true}}},
      {"pw\r\n\n", 8, {Line{"pw"}, Line{""}, Line{"", false, true}}},
      {"12345678\r\nx\n", 8, {Line{"12345678"}, Line{"x"}, Line{"", false, true}}},
      {"123456789\nx", 8, {Line{"", true}, Line{"x"}, Line{"", false, true}}},
      {"123456789", 8, {Line{"", true}, Line{"", false, true}}},
      {std::string(20, 'x'), 8, {Line{"", true}}},
      {big + "\n" + big, big.size(), {Line{big}, Line{big}, Line{"", false, true}}},
  };
  for (const auto& c : cases) {
    auto pipe = platform::process::Pipe::make();
    ASSERT_TRUE(pipe.has_value());
    ASSERT_TRUE(pipe->fileHandleForWriting()->writeData(c.input).has_value());
    ASSERT_TRUE(pipe->fileHandleForWriting()->close().has_value());
    BufferedInput input(pipe->fileHandleForReading()->fileDescriptor());
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
      const auto line = input.readLine(c.limit);
      const auto& expected = c.lines[i];
      EXPECT_EQ(line.text, expected.text) << c.input.substr(0, 20) << " line " << i;
      EXPECT_EQ(line.tooLong, expected.tooLong) << c.input.substr(0, 20) << " line " << i;
      EXPECT_EQ(line.ended, expected.ended) << c.input.substr(0, 20) << " line " << i;
    }
  }
}

TEST(CtlSignInTest, SessionPromptsAndFailuresAreReadFromOpenConnectsWords) {
  const auto session = SignIn::parse(
      "COOKIE='webvpn=AB/c+=; strap='\\''x'\\'''\n"
      "HOST='10.0.0.1'\n"
      "CONNECT_URL='https://vpn.example/grp'\n"
      "FINGERPRINT='pin-sha256:AAAA'\n"
      "RESOLVE='vpn.example:10.0.0.1'\n");
  ASSERT_TRUE(session.has_value()) << session.error();
  EXPECT_EQ(session->cookie, "webvpn=AB/c+=; strap='x'");
  EXPECT_EQ(session->request(),
            HelperCookieStartRequest("https://vpn.example/grp", "pin-sha256:AAAA",
                                     "vpn.example:10.0.0.1"));
  EXPECT_EQ(SignIn::parse("COOKIE='c'\nCONNECT_URL='https://h/'\nFINGERPRINT='f'\n")->resolve,
            std::nullopt);
  for (const auto* printed : {"", "COOKIE=''\nCONNECT_URL='u'\nFINGERPRINT='f'\n",
                              "COOKIE='c'\nFINGERPRINT='f'\n", "COOKIE='c'\nCONNECT_URL='u'\n"}) {
    EXPECT_EQ(SignIn::parse(printed).error(), "sign-in failed: OpenConnect printed no session")
        << printed;
  }

  struct Prompt {
    std::string pending;
    bool prompt;
  };
  for (const auto& [pending, prompt] :
       {Prompt{"Password:", true}, Prompt{"Group: [engineering|sales]:", true},
        Prompt{"Enter 'yes' to accept, 'no' to abort; anything else to view: ", true},
        Prompt{"Group: [", false}, Prompt{"", false}, Prompt{"   ", false}}) {
    EXPECT_EQ(SignIn::isPrompt(pending), prompt) << pending;
  }

  struct Failure {
    std::string said;
    bool inputEnded;
    std::string message;
  };
  const std::vector<Failure> failures = {
      {"Please enter your password.\nPassword:", true,
       "sign-in failed: standard input ended before the server stopped asking"},
      {"POST https://h/auth\nLogin failed.\nPassword:", false,
       "sign-in failed: the server did not accept the credentials"},
      {"Got HTTP response: HTTP/1.1 401 Authentication failed\n", false,
       "sign-in failed: the server did not accept the credentials"},
      {"Certificate from VPN server \"h\" failed verification.\n"
       "    --servercert pin-sha256:AbC=\nEnter 'yes' to accept",
       false,
       "sign-in failed: the server's certificate is not trusted (to trust it: "
       "--servercert pin-sha256:AbC=)"},
      {"Failed to connect to 10.0.0.9:443: Network is unreachable\n", false,
       "sign-in failed: the server could not be reached"},
      {"something else\n", false, "sign-in failed: OpenConnect exited with status 3"},
  };
  for (const auto& failure : failures) {
    EXPECT_EQ(SignIn::failure(failure.said, failure.inputEnded, 3), failure.message);
  }

  // The user name is the server's business: it is not held to the password start's list.
  const auto options = SignIn::options({"connect", "--server", "vpn.example/grp", "--sign-in",
                                        "--user", "CORP\\j\xC3\xBCrgen", "--authgroup", "sales"});
  ASSERT_TRUE(options.has_value()) << options.error();
  EXPECT_EQ(SignIn::openConnectArguments(*options),
            (Args{"--authenticate", "--protocol=anyconnect", "--user", "CORP\\j\xC3\xBCrgen",
                  "--authgroup", "sales", "https://vpn.example/grp"}));
  EXPECT_EQ(SignIn::options({"connect", "--server", "http://vpn.example", "--sign-in"}).error(),
            "server is not a valid host[:port][/path]");
  EXPECT_FALSE(SignIn::options({"connect", "--sign-in"}).has_value());
}

}  // namespace
}  // namespace vantreel
