#include "shared/helper_op_result.hpp"

#include <utility>

#include "platform/xpc/keyed_archiver.hpp"

namespace vantreel {

HelperOpResult::HelperOpResult(bool ok, std::int64_t code, std::string message, std::string state,
                               std::string version, std::int64_t pid)
    : ok_(ok),
      code_(code),
      message_(std::move(message)),
      state_(std::move(state)),
      version_(std::move(version)),
      pid_(pid) {}

platform::xpc::ArchivedObject HelperOpResult::archive() const {
  platform::xpc::KeyedArchiver coder(className);
  coder.encodeBool("ok", ok_);
  coder.encodeInt64("code", code_);
  coder.encodeObject("message", message_);
  coder.encodeObject("state", state_);
  coder.encodeObject("version", version_);
  coder.encodeInt64("pid", pid_);
  return std::move(coder).take();
}

std::optional<HelperOpResult> HelperOpResult::decode(const platform::xpc::KeyedUnarchiver& coder) {
  if (coder.className() != className) {
    return std::nullopt;
  }
  const bool ok = coder.decodeBool("ok");
  const std::int64_t code = coder.decodeInt64("code");
  auto message = coder.decodeString("message");
  auto state = coder.decodeString("state");
  auto version = coder.decodeString("version");
  const std::int64_t pid = coder.decodeInt64("pid");
  return HelperOpResult(ok, code, std::move(message).value_or(""),
                        std::move(state).value_or("idle"),
                        std::move(version).value_or(Constants::helperVersion()), pid);
}

}  // namespace vantreel
