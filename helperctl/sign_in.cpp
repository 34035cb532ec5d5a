#include "helperctl/sign_in.hpp"

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <utility>

#include "helperctl/ctl_arguments.hpp"
#include "helperctl/sign_in_dialogue.hpp"
#include "platform/posix/host_info.hpp"
#include "platform/posix/secret_wipe.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/process/pipe.hpp"
#include "platform/process/task.hpp"
#include "shared/argument_validation.hpp"

namespace vantreel {
namespace {

namespace process = platform::process;

using platform::posix::WipedOnExit;
using platform::posix::wipeSecret;

// What OpenConnect prints for a session fits many times over.
constexpr std::size_t printedRoom = std::size_t{16} * 1024;

bool says(std::string_view said, std::string_view words) {
  return said.find(words) != std::string_view::npos;
}

// The value of one shell assignment as OpenConnect quotes it: 'text', with a quote inside
// written as '\''.
std::string unquoted(std::string_view value) {
  std::string text;
  // Never longer than the quoted value: the text never grows (and leaves a copy behind).
  text.reserve(value.size());
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

// OpenConnect for the sign-in: its standard input is input's (none on a terminal, where it asks
// the user itself and turns echo off for secrets).
tl::expected<std::shared_ptr<process::Task>, std::string> launched(const std::string& program,
                                                                   const SignIn::Options& options,
                                                                   const process::Pipe* input,
                                                                   const process::Pipe& output,
                                                                   const process::Pipe& error) {
  auto task = process::Task::create();
  task->setExecutable(program);
  task->setArguments(SignIn::openConnectArguments(options));
  const std::string directory = program.substr(0, program.rfind('/'));
  task->setEnvironment(std::map<std::string, std::string>{
      {"LC_ALL", "C.UTF-8"},
      {"PATH", directory + ":/usr/bin:/bin:/usr/sbin:/sbin"},
      {"DYLD_LIBRARY_PATH", directory + "/lib"},
  });
  if (input != nullptr) {
    task->setStandardInput(*input);
  }
  task->setStandardOutput(output);
  task->setStandardError(error);
  if (auto launch = task->launch(); !launch) {
    return tl::unexpected("sign-in failed: " + launch.error());
  }
  return task;
}

// Everything from until its end, into into: the session printed there holds the cookie, so no
// copy is left behind in memory given up on the way.
bool readSecretToEnd(process::FileHandle& from, std::string& into) {
  into.reserve(printedRoom);
  for (;;) {
    auto data = from.availableData();
    if (!data) {
      return false;
    }
    const WipedOnExit wipedData(*data);
    if (data->empty()) {
      return true;
    }
    if (into.size() + data->size() > into.capacity()) {
      std::string grown;
      grown.reserve(2 * (into.size() + data->size()));
      grown.append(into);
      wipeSecret(into);
      into.swap(grown);
    }
    into.append(*data);
  }
}

}  // namespace

SignIn::Session::~Session() { wipeSecret(cookie); }

SignIn::Session::Session(Session&& other) noexcept
    : cookie(std::move(other.cookie)),
      connectURL(std::move(other.connectURL)),
      fingerprint(std::move(other.fingerprint)),
      resolve(std::move(other.resolve)) {
  wipeSecret(other.cookie);
}

HelperCookieStartRequest SignIn::Session::request() const {
  return HelperCookieStartRequest(connectURL, fingerprint, resolve);
}

tl::expected<SignIn::Options, std::string> SignIn::options(
    const std::vector<std::string>& arguments) {
  const auto valueOf = [&arguments](std::string_view option) {
    return CtlArguments::value(option, arguments);
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
      // A name printed twice: the value it replaces is wiped, not handed back as it is.
      std::string& value = values[std::string(line.substr(0, equals))];
      wipeSecret(value);
      value = unquoted(line.substr(equals + 1));
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
    wipeSecret(value);
  }
  if (!cookie || !url || !fingerprint) {
    if (cookie) {
      wipeSecret(*cookie);
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
  if (says(said, SignInDialogue::loginFailed) || says(said, "Authentication failed")) {
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
  auto task = launched(program, options, answers ? &*input : nullptr, *output, *error);
  if (!task) {
    return tl::unexpected(std::move(task.error()));
  }
  const auto replies = input->fileHandleForWriting();
  const auto outcome =
      SignInDialogue(**task, error->fileHandleForReading(), replies, answers, errorFd).run();
  (void)replies->close();
  std::string printed;
  const WipedOnExit wiped(printed);
  const bool read = readSecretToEnd(*output->fileHandleForReading(), printed);
  (*task)->waitUntilExit();
  const int status = (*task)->terminationStatus();
  if (!read || status != 0 || outcome.refused || outcome.inputEnded) {
    return tl::unexpected(failure(outcome.said, outcome.inputEnded, status));
  }
  return parse(printed);
}

}  // namespace vantreel
