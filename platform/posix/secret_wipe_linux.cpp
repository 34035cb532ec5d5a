#include <string.h>  // explicit_bzero

#include "platform/posix/secret_wipe.hpp"

namespace vantreel::platform::posix {

void wipeSecret(std::string& secret) noexcept {
  // Short strings live inside the object itself; capacity() covers that buffer too.
  ::explicit_bzero(secret.data(), secret.capacity());
  secret.clear();
}

}  // namespace vantreel::platform::posix
