#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/xpc/exported_object.hpp"
#include "shared/helper_client_protocol.hpp"

namespace vantreel {

// Delivers the daemon's appendLog: messages to a client's object.
class HelperClientDispatcher final : public platform::xpc::ExportedObject {
 public:
  explicit HelperClientDispatcher(std::shared_ptr<HelperClientProtocol> target);

  void dispatch(const std::string& selector, std::vector<platform::xpc::Value> arguments,
                platform::xpc::Reply reply) override;

 private:
  std::shared_ptr<HelperClientProtocol> target_;
};

}  // namespace vantreel
