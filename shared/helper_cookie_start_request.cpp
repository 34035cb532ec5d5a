#include "shared/helper_cookie_start_request.hpp"

#include <utility>

#include "platform/xpc/keyed_archiver.hpp"

namespace vantreel {

HelperCookieStartRequest::HelperCookieStartRequest(std::string connectURL, std::string servercert,
                                                   std::optional<std::string> resolve)
    : connectURL_(std::move(connectURL)),
      servercert_(std::move(servercert)),
      resolve_(std::move(resolve)) {}

platform::xpc::ArchivedObject HelperCookieStartRequest::archive() const {
  platform::xpc::KeyedArchiver coder(className);
  coder.encodeObject("connectURL", connectURL_);
  coder.encodeObject("servercert", servercert_);
  if (resolve_) {
    coder.encodeObject("resolve", *resolve_);
  }
  return std::move(coder).take();
}

std::optional<HelperCookieStartRequest> HelperCookieStartRequest::decode(
    const platform::xpc::KeyedUnarchiver& coder) {
  if (coder.className() != className) {
    return std::nullopt;
  }
  auto url = coder.decodeString("connectURL");
  auto servercert = coder.decodeString("servercert");
  if (!url || !servercert) {
    return std::nullopt;
  }
  return HelperCookieStartRequest(std::move(*url), std::move(*servercert),
                                  coder.decodeString("resolve"));
}

std::string HelperCookieStartRequest::description() const {
  return "HelperCookieStartRequest(connectURL: " + connectURL_ +
         ", resolve: " + resolve_.value_or("nil") + ")";
}

}  // namespace vantreel
