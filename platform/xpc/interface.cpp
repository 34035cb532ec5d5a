#include "platform/xpc/interface.hpp"

#include <algorithm>

#include "platform/posix/check.hpp"

namespace vantreel::platform::xpc {

Interface Interface::withProtocol(ProtocolDescription protocol) {
  return Interface(std::move(protocol));
}

void Interface::setClasses(std::set<std::string> classes, std::string_view selector,
                           std::size_t argumentIndex, bool ofReply) {
  auto it = std::find_if(protocol_.methods.begin(), protocol_.methods.end(),
                         [&](const MethodSignature& m) { return m.selector == selector; });
  VT_CHECK(it != protocol_.methods.end());
  if (ofReply) {
    VT_CHECK(it->reply.has_value() && argumentIndex < it->reply->size() &&
             (*it->reply)[argumentIndex] == ValueKind::object);
    it->replyClasses[argumentIndex] = std::move(classes);
  } else {
    VT_CHECK(argumentIndex < it->arguments.size() &&
             it->arguments[argumentIndex] == ValueKind::object);
    it->argumentClasses[argumentIndex] = std::move(classes);
  }
}

const MethodSignature* Interface::method(std::string_view selector) const noexcept {
  for (const auto& m : protocol_.methods) {
    if (m.selector == selector) {
      return &m;
    }
  }
  return nullptr;
}

}  // namespace vantreel::platform::xpc
