#include "shared/helper_start_request.hpp"

#include <utility>

#include "platform/xpc/keyed_archiver.hpp"

namespace vantreel {

HelperStartRequest::HelperStartRequest(std::string server, std::string username,
                                       std::optional<std::string> servercert)
    : server_(std::move(server)),
      username_(std::move(username)),
      servercert_(std::move(servercert)) {}

platform::xpc::ArchivedObject HelperStartRequest::archive() const {
  platform::xpc::KeyedArchiver coder(className);
  coder.encodeObject("server", server_);
  coder.encodeObject("username", username_);
  // An absent pin writes no key at all, never an empty or null entry.
  if (servercert_) {
    coder.encodeObject("servercert", *servercert_);
  }
  return std::move(coder).take();
}

std::optional<HelperStartRequest> HelperStartRequest::decode(
    const platform::xpc::KeyedUnarchiver& coder) {
  if (coder.className() != className) {
    return std::nullopt;
  }
  auto server = coder.decodeString("server");
  if (!server) {
    return std::nullopt;
  }
  auto username = coder.decodeString("username");
  if (!username) {
    return std::nullopt;
  }
  return HelperStartRequest(std::move(*server), std::move(*username),
                            coder.decodeString("servercert"));
}

std::string HelperStartRequest::description() const {
  return "HelperStartRequest(server: " + server_ + ", username: " + username_ +
         ", servercert: " + (servercert_ ? "set" : "nil") + ")";
}

}  // namespace vantreel
