#include "shared/helper_client_protocol.hpp"

namespace vantreel {

platform::xpc::ProtocolDescription HelperClientProtocol::protocolDescription() {
  using platform::xpc::ValueKind;
  return {"HelperClientProtocol",
          {platform::xpc::MethodSignature{
              appendLogSelector, {ValueKind::string}, std::nullopt, {}, {}}}};
}

platform::xpc::Interface HelperClientProtocol::makeInterface() {
  return platform::xpc::Interface::withProtocol(protocolDescription());
}

}  // namespace vantreel
