#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "shared/argument_validation.hpp"

// Input: server, user name and pin separated by 0xFF bytes (which valid UTF-8 never holds).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantreel::ArgumentValidation;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t first = input.find('\xff');
  const std::string_view server = input.substr(0, first);
  std::string_view username = "alice";
  std::optional<std::string_view> pin;
  if (first != std::string_view::npos) {
    const std::string_view rest = input.substr(first + 1);
    const std::size_t second = rest.find('\xff');
    username = rest.substr(0, second);
    if (second != std::string_view::npos) {
      pin = rest.substr(second + 1);
    }
  }

  const auto normalized = normalizeServer(server);
  const auto validated = validate(server, username, pin);
  if (!validated) {
    return 0;
  }
  // Whatever passes may go on a root command line.
  if (!normalized || *normalized != validated->server || containsShellMeta(validated->server) ||
      containsShellMeta(validated->username) ||
      (validated->servercert && containsShellMeta(*validated->servercert)) ||
      validated->server.empty() || validated->server.front() == '-') {
    std::abort();
  }
  for (const char ch : validated->server) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
      std::abort();
    }
  }
  const auto args = openConnectArgs(*validated, "/s", std::nullopt);
  if (args.back() != validated->server) {
    std::abort();
  }
  return 0;
}
