#include "shared/helper_xpc_protocol.hpp"

#include <set>
#include <string>

namespace vantreel {

using platform::xpc::MethodSignature;
using platform::xpc::ValueKind;

platform::xpc::ProtocolDescription HelperXPCProtocol::protocolDescription() {
  const std::set<std::string> result{std::string(HelperOpResult::className)};
  return {
      "HelperXPCProtocol",
      {
          MethodSignature{getVersionSelector, {}, std::vector{ValueKind::string}, {}, {}},
          MethodSignature{startSelector,
                          {ValueKind::object, ValueKind::fileDescriptor},
                          std::vector{ValueKind::object},
                          {{0, {std::string(HelperStartRequest::className)}}},
                          {{0, result}}},
          MethodSignature{stopSelector, {}, std::vector{ValueKind::object}, {}, {{0, result}}},
          MethodSignature{statusSelector, {}, std::vector{ValueKind::object}, {}, {{0, result}}},
          MethodSignature{cookieStartSelector,
                          {ValueKind::object, ValueKind::fileDescriptor},
                          std::vector{ValueKind::object},
                          {{0, {std::string(HelperCookieStartRequest::className)}}},
                          {{0, result}}},
      },
  };
}

platform::xpc::Interface HelperXPCProtocol::makeInterface() {
  auto interface = platform::xpc::Interface::withProtocol(protocolDescription());
  interface.setClasses({std::string(HelperStartRequest::className)}, startSelector, 0, false);
  interface.setClasses({std::string(HelperCookieStartRequest::className)}, cookieStartSelector, 0,
                       false);
  return interface;
}

}  // namespace vantreel
