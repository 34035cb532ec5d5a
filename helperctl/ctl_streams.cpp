#include "helperctl/ctl_streams.hpp"

#include <span>

#include "helperctl/ctl_results.hpp"
#include "platform/posix/io.hpp"

namespace vantreel {

void CtlStreams::result(const nlohmann::json& object) const {
  writeLine(output, CtlResults::render(object, true));
}

void CtlStreams::message(std::string_view text) const { writeLine(error, std::string(text)); }

void CtlStreams::writeLine(int fd, std::string text) {
  text.push_back('\n');
  (void)platform::posix::writeAll(fd, std::as_bytes(std::span(text.data(), text.size())));
}

}  // namespace vantreel
