#include "helperctl/sign_in.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <span>
#include <utility>

#include "platform/posix/host_info.hpp"
#include "platform/posix/io.hpp"
#include "platform/process/pipe.hpp"
#include "platform/process/task.hpp"
#include "shared/argument_validation.hpp"

namespace vantreel {
namespace {

namespace process = platform::process;

// OpenConnect's own words for the cases the user must be told apart (version 9, untranslated:
// the sign-in runs it in the C.UTF-8 locale).
constexpr std::string_view kLoginFailed = "Login failed";
constexpr std::string_view kCertificateQuestion = "Enter 'yes' to accept";
// How long unfinished text stays so before it counts as a question.
constexpr auto kUnfinishedQuestion = std::chrono::milliseconds(1500);

void wipe(std::string& secret) {
  OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

bool says(std::string_view said, std::string_view words) {
  return said.find(words) != std::string_view::npos;
}

// The value of one shell assignment as OpenConnect quotes it: 'text', with a quote inside
// written as '\''.
std::string unquoted(std::string_view value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\'') {
      const std::size_t end = value.find('\'', i + 1);
      text.append(value.substr(i + 1, end == std::string_view::npos ? end : end - i - 1));
      if (end == std::string_view::npos) {
        break;
      }
      i = end;
    } else if (value[i] == '\\' && i + 1 < value.size()) {
      text.push_back(value[++i]);
    } else {
      text.push_back(value[i]);
    }
  }
  return text;
}

}  // namespace

SignIn::Session::~Session() { wipe(cookie); }

SignIn::Session::Session(Session&& other) noexcept
    : cookie(std::move(other.cookie)),
      connectURL(std::move(other.connectURL)),
      fingerprint(std::move(other.fingerprint)),
      resolve(std::move(other.resolve)) {
  wipe(other.cookie);
}

HelperCookieStartRequest SignIn::Session::request() const {
  return HelperCookieStartRequest(connectURL, fingerprint, resolve);
}

tl::expected<SignIn::Options, std::string> SignIn::options(
    const std::vector<std::string>& arguments) {
  const auto valueOf = [&arguments](std::string_view option) -> std::optional<std::string> {
    const auto found = std::find(arguments.begin(), arguments.end(), option);
    if (found == arguments.end() || std::next(found) == arguments.end()) {
      return std::nullopt;
    }
    return *std::next(found);
  };
  const auto server = valueOf("--server");
  if (!server) {
    return tl::unexpected(std::string("connect --sign-in requires --server"));
  }
  // The server and pin pass the same checks as for a password start; the user name does not:
  // it goes to the server, never to a command line of root's.
  const auto servercert = valueOf("--servercert");
  auto validated = ArgumentValidation::validate(
      *server, "sign-in", servercert ? std::optional<std::string_view>(*servercert) : std::nullopt);
  if (!validated) {
    return tl::unexpected(validated.error().message);
  }
  return Options{"https://" + validated->server, valueOf("--user"), valueOf("--authgroup"),
                 validated->servercert};
}

std::vector<std::string> SignIn::openConnectArguments(const Options& options) {
  std::vector<std::string> arguments{"--authenticate", "--protocol=anyconnect"};
  if (options.user) {
    arguments.insert(arguments.end(), {"--user", *options.user});
  }
  if (options.authgroup) {
    arguments.insert(arguments.end(), {"--authgroup", *options.authgroup});
  }
  if (options.servercert) {
    arguments.insert(arguments.end(), {"--servercert", *options.servercert});
  }
  arguments.push_back(options.server);
  return arguments;
}

std::string SignIn::bundledOpenConnect(const std::string& appBundle) {
  const std::string machine = platform::posix::machineHardwareName();
  const std::string arch =
      machine == "arm64" || machine == "aarch64" ? "darwin-arm64" : "darwin-amd64";
  return appBundle + "/Contents/Resources/extra/openconnect/" + arch + "/openconnect";
}

tl::expected<SignIn::Session, std::string> SignIn::parse(std::string_view printed) {
  std::map<std::string, std::string, std::less<>> values;
  while (!printed.empty()) {
    const std::size_t end = printed.find('\n');
    const std::string_view line = printed.substr(0, end);
    printed.remove_prefix(end == std::string_view::npos ? printed.size() : end + 1);
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      values[std::string(line.substr(0, equals))] = unquoted(line.substr(equals + 1));
    }
  }
  Session session;
  const auto take = [&values](std::string_view key) -> std::optional<std::string> {
    const auto found = values.find(key);
    if (found == values.end() || found->second.empty()) {
      return std::nullopt;
    }
    return std::move(found->second);
  };
  auto cookie = take("COOKIE");
  auto url = take("CONNECT_URL");
  auto fingerprint = take("FINGERPRINT");
  session.resolve = take("RESOLVE");
  for (auto& [key, value] : values) {
    wipe(value);
  }
  if (!cookie || !url || !fingerprint) {
    if (cookie) {
      wipe(*cookie);
    }
    return tl::unexpected(std::string("sign-in failed: OpenConnect printed no session"));
  }
  session.cookie = std::move(*cookie);
  session.connectURL = std::move(*url);
  session.fingerprint = std::move(*fingerprint);
  return session;
}

bool SignIn::isPrompt(std::string_view pending) {
  while (!pending.empty() && pending.back() == ' ') {
    pending.remove_suffix(1);
  }
  return !pending.empty() && pending.back() == ':';
}

std::string SignIn::failure(std::string_view said, bool inputEnded, int status) {
  if (inputEnded) {
    return "sign-in failed: standard input ended before the server stopped asking";
  }
  if (says(said, kLoginFailed) || says(said, "Authentication failed")) {
    return "sign-in failed: the server did not accept the credentials";
  }
  if (says(said, "failed verification") || says(said, "Error in the certificate")) {
    std::string text = "sign-in failed: the server's certificate is not trusted";
    const std::size_t option = said.find("--servercert ");
    if (option != std::string_view::npos) {
      const std::string_view rest = said.substr(option + 13);
      text += " (to trust it: --servercert " +
              std::string(rest.substr(0, rest.find_first_of(" \r\n"))) + ")";
    }
    return text;
  }
  if (says(said, "Failed to connect to") || says(said, "Failed to open HTTPS connection") ||
      says(said, "Failed to resolve")) {
    return "sign-in failed: the server could not be reached";
  }
  return "sign-in failed: OpenConnect exited with status " + std::to_string(status);
}

tl::expected<SignIn::Session, std::string> SignIn::run(const std::string& program,
                                                       const Options& options,
                                                       const Answers& answers, int errorFd) {
  auto input = process::Pipe::make();
  auto output = process::Pipe::make();
  auto error = process::Pipe::make();
  if (!input || !output || !error) {
    return tl::unexpected(std::string("sign-in failed: no pipe for OpenConnect"));
  }
  auto task = process::Task::create();
  task->setExecutable(program);
  task->setArguments(openConnectArguments(options));
  const std::string directory = program.substr(0, program.rfind('/'));
  task->setEnvironment(std::map<std::string, std::string>{
      {"LC_ALL", "C.UTF-8"},
      {"PATH", directory + ":/usr/bin:/bin:/usr/sbin:/sbin"},
      {"DYLD_LIBRARY_PATH", directory + "/lib"},
  });
  // On a terminal OpenConnect asks the user itself, and turns echo off for secrets.
  if (answers) {
    task->setStandardInput(*input);
  }
  task->setStandardOutput(*output);
  task->setStandardError(*error);
  if (auto launched = task->launch(); !launched) {
    return tl::unexpected("sign-in failed: " + launched.error());
  }
  auto said = std::make_unique<std::string>();
  std::string pending;  // written since the last line feed
  bool inputEnded = false;
  bool refused = false;
  const auto questions = error->fileHandleForReading();
  const auto replies = input->fileHandleForWriting();
  for (;;) {
    // A question worded without a final colon shows as text that stays unfinished: OpenConnect
    // is then waiting for its answer.
    bool quiet = false;
    if (answers && !pending.empty() && !isPrompt(pending)) {
      const auto readable =
          platform::posix::waitReadable(questions->fileDescriptor(), kUnfinishedQuestion);
      quiet = readable && !*readable;
    }
    if (!quiet) {
      auto data = questions->availableData();
      if (!data || data->empty()) {
        break;
      }
      if (!answers) {
        (void)platform::posix::writeAll(errorFd,
                                        std::as_bytes(std::span(data->data(), data->size())));
      }
      said->append(*data);
      pending.append(*data);
      if (const auto newline = pending.rfind('\n'); newline != std::string::npos) {
        pending.erase(0, newline + 1);
      }
      // A refused answer is asked for again: sending the next line would be a second attempt
      // with the wrong answer (and a lock-out on many servers). On a terminal the user decides.
      if (answers && says(*said, kLoginFailed)) {
        refused = true;
        task->terminate();
        break;
      }
      if (!answers || !isPrompt(pending)) {
        continue;
      }
    }
    std::string line;
    if (says(pending, kCertificateQuestion)) {
      line = "no";  // trusted only on a terminal, by the user
    } else if (auto answer = answers()) {
      line = std::move(*answer);
      wipe(*answer);
    } else {
      inputEnded = true;
      task->terminate();
      break;
    }
    line.push_back('\n');
    const auto written = replies->writeData(line);
    wipe(line);
    pending.clear();
    if (!written) {
      break;
    }
  }
  (void)replies->close();
  auto printed = output->fileHandleForReading()->readDataToEndOfFile();
  task->waitUntilExit();
  const int status = task->terminationStatus();
  if (!printed || status != 0 || refused || inputEnded) {
    if (printed) {
      wipe(*printed);
    }
    return tl::unexpected(failure(*said, inputEnded, status));
  }
  auto session = parse(*printed);
  wipe(*printed);
  return session;
}

}  // namespace vantreel
