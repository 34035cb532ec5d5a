// Prints how the daemon would run OpenConnect for one start, so that the shell harness runs it
// by hand from the same code instead of a copy of the argument list that could drift.
//
//   openconnect_invocation DIRECTORY --server ADDR --user NAME [--servercert PIN] [--cafile FILE]
//   openconnect_invocation DIRECTORY --connect-url URL --servercert PIN [--resolve HOST:ADDR]
//                          [--cafile FILE]
//
// DIRECTORY holds the copies the daemon runs (openconnect, vpnc-script); FILE is the trust store
// the daemon would hand over (it exports the system roots). Output: one field per item, each
// ended by a NUL byte, as "env=NAME=VALUE", "program=PATH" or "arg=WORD", in this order and the
// arguments in theirs. NUL is the one byte no argument or variable can hold, so bash reads it
// with `mapfile -d ''` whatever the values are. A request the daemon would refuse exits 1 with
// the daemon's reason on standard error; a malformed command line exits 64.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "helper/validated_start.hpp"

namespace {

constexpr int kRefused = 1;
constexpr int kUsage = 64;

struct Options {
  std::string directory;
  std::optional<std::string> server;
  std::optional<std::string> user;
  std::optional<std::string> connectURL;
  std::optional<std::string> servercert;
  std::optional<std::string> resolve;
  std::optional<std::string> cafile;
};

int usage(std::string_view why) {
  (void)std::fprintf(stderr,
                     "openconnect_invocation: %.*s\n"
                     "usage: openconnect_invocation DIRECTORY --server ADDR --user NAME "
                     "[--servercert PIN] [--cafile FILE]\n"
                     "       openconnect_invocation DIRECTORY --connect-url URL --servercert PIN "
                     "[--resolve HOST:ADDR] [--cafile FILE]\n",
                     static_cast<int>(why.size()), why.data());
  return kUsage;
}

// Nothing when an option is unknown, given twice or lacks its value.
std::optional<Options> parse(const std::vector<std::string_view>& words, std::string& why) {
  if (words.empty()) {
    why = "no directory";
    return std::nullopt;
  }
  Options options;
  options.directory = words.front();
  for (std::size_t i = 1; i < words.size(); i += 2) {
    const std::string_view name = words[i];
    std::optional<std::string>* slot = nullptr;
    if (name == "--server") {
      slot = &options.server;
    } else if (name == "--user") {
      slot = &options.user;
    } else if (name == "--connect-url") {
      slot = &options.connectURL;
    } else if (name == "--servercert") {
      slot = &options.servercert;
    } else if (name == "--resolve") {
      slot = &options.resolve;
    } else if (name == "--cafile") {
      slot = &options.cafile;
    } else {
      why = "unknown option " + std::string(name);
      return std::nullopt;
    }
    if (i + 1 >= words.size()) {
      why = std::string(name) + " needs a value";
      return std::nullopt;
    }
    if (slot->has_value()) {
      why = std::string(name) + " given twice";
      return std::nullopt;
    }
    *slot = std::string(words[i + 1]);
  }
  return options;
}

// Nothing when the options name neither kind of start, or a mix of both.
std::optional<vantreel::StartRequest> requestOf(const Options& options, std::string& why) {
  if (options.connectURL) {
    if (options.server || options.user) {
      why = "--connect-url starts with a cookie: no --server or --user";
      return std::nullopt;
    }
    if (!options.servercert) {
      why = "--connect-url needs --servercert";
      return std::nullopt;
    }
    return vantreel::HelperCookieStartRequest(*options.connectURL, *options.servercert,
                                              options.resolve);
  }
  if (!options.server || !options.user) {
    why = "--server and --user, or --connect-url";
    return std::nullopt;
  }
  if (options.resolve) {
    why = "--resolve belongs to a cookie start";
    return std::nullopt;
  }
  return vantreel::HelperStartRequest(*options.server, *options.user, options.servercert);
}

bool printField(std::string_view tag, std::string_view value) {
  const std::string field = std::string(tag) + "=" + std::string(value);
  return std::fwrite(field.data(), 1, field.size() + 1, stdout) == field.size() + 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> words(argv + 1, argv + argc);
  std::string why;
  const auto options = parse(words, why);
  if (!options) {
    return usage(why);
  }
  const auto request = requestOf(*options, why);
  if (!request) {
    return usage(why);
  }
  const auto validated = vantreel::ValidatedStart::from(*request);
  if (!validated) {
    (void)std::fprintf(stderr, "openconnect_invocation: refused: %s\n",
                       validated.error().errorDescription().c_str());
    return kRefused;
  }
  std::optional<std::string_view> cafile;
  if (options->cafile) {
    cafile = *options->cafile;
  }
  const auto invocation = validated->invocation(options->directory, cafile);
  bool written = true;
  for (const auto& [name, value] : invocation.environment) {
    std::string assignment = name;
    assignment += '=';
    assignment += value;
    written = written && printField("env", assignment);
  }
  written = written && printField("program", invocation.program);
  for (const auto& argument : invocation.arguments) {
    written = written && printField("arg", argument);
  }
  if (!written || std::fflush(stdout) != 0) {
    return kRefused;
  }
  return 0;
}
