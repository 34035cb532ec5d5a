#include "shared/helper_client_dispatcher.hpp"

#include <utility>
#include <variant>

namespace vantreel {

HelperClientDispatcher::HelperClientDispatcher(std::shared_ptr<HelperClientProtocol> target)
    : target_(std::move(target)) {}

void HelperClientDispatcher::dispatch(const std::string& selector,
                                      std::vector<platform::xpc::Value> arguments,
                                      platform::xpc::Reply /*reply*/) {
  if (selector == HelperClientProtocol::appendLogSelector && arguments.size() == 1 && target_) {
    target_->appendLog(std::get<std::string>(std::move(arguments[0])));
  }
}

}  // namespace vantreel
