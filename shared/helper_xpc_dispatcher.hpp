#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/xpc/exported_object.hpp"
#include "shared/helper_xpc_protocol.hpp"

namespace vantreel {

// Turns the messages a connection delivers into calls on the daemon's side of the protocol.
// The transport has already checked each message against the exported interface.
class HelperXPCDispatcher final : public platform::xpc::ExportedObject {
 public:
  explicit HelperXPCDispatcher(std::shared_ptr<HelperXPCProtocol> target);

  void dispatch(const std::string& selector, std::vector<platform::xpc::Value> arguments,
                platform::xpc::Reply reply) override;

 private:
  std::shared_ptr<HelperXPCProtocol> target_;
};

}  // namespace vantreel
