#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

#include "platform/xpc/method_signature.hpp"
#include "platform/xpc/protocol_description.hpp"

namespace vantreel::platform::xpc {

// What may cross a connection in one direction: the protocol's selectors and, for every object
// argument, the classes that may be decoded. Anything else is refused on arrival.
class Interface {
 public:
  static Interface withProtocol(ProtocolDescription protocol);

  // Replaces the admitted classes of one object argument (or reply value). Naming a selector
  // or index that does not exist, or a value that is not an object, is a programming error.
  void setClasses(std::set<std::string> classes, std::string_view selector,
                  std::size_t argumentIndex, bool ofReply);

  [[nodiscard]] const std::string& name() const noexcept { return protocol_.name; }
  // nullptr when the protocol has no such selector.
  [[nodiscard]] const MethodSignature* method(std::string_view selector) const noexcept;

 private:
  explicit Interface(ProtocolDescription protocol) : protocol_(std::move(protocol)) {}
  ProtocolDescription protocol_;
};

}  // namespace vantreel::platform::xpc
