#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vantreel {

// The descriptors the tool reads and writes; they stay the caller's. Results go to standard
// output, one line each, and messages to standard error.
struct CtlStreams {
  int input = 0;
  int output = 1;
  int error = 2;

  // The result's line, as CtlResults renders it in JSON.
  void result(const nlohmann::json& object) const;
  void message(std::string_view text) const;

  // text and a line feed in one write; a reader that has gone away leaves nobody to tell.
  static void writeLine(int fd, std::string text);
};

}  // namespace vantreel
