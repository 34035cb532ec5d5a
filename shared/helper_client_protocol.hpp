#pragma once

#include <string>

#include "platform/xpc/interface.hpp"
#include "platform/xpc/protocol_description.hpp"

namespace vantreel {

// What every client exports so the daemon can stream OpenConnect's lines back. One-way: the
// daemon never waits for it.
class HelperClientProtocol {
 public:
  static constexpr const char* appendLogSelector = "appendLog:";

  virtual ~HelperClientProtocol() = default;

  virtual void appendLog(std::string line) = 0;

  static platform::xpc::ProtocolDescription protocolDescription();
  static platform::xpc::Interface makeInterface();
};

}  // namespace vantreel
