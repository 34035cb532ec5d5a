#include "platform/service/layout.hpp"

namespace vantreel::platform::service {

Layout Layout::running() { return Layout::linux(); }

}  // namespace vantreel::platform::service
