#include "shared/helper_client_proxy.hpp"

#include <utility>
#include <vector>

namespace vantreel {

void HelperClientProxy::appendLog(std::string line) {
  std::vector<platform::xpc::Value> arguments;
  arguments.emplace_back(std::move(line));
  proxy_.send(appendLogSelector, std::move(arguments), {});
}

}  // namespace vantreel
