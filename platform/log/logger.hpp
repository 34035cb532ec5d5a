#pragma once

#include <string>
#include <string_view>

namespace vantreel::platform::log {

// A handle for one subsystem and category. Each entry goes to the sink current at the time
// of writing. The message is data, never a format.
class Logger {
 public:
  Logger(std::string subsystem, std::string category);

  void info(std::string_view message) const noexcept;
  void error(std::string_view message) const noexcept;

  [[nodiscard]] const std::string& subsystem() const noexcept { return subsystem_; }
  [[nodiscard]] const std::string& category() const noexcept { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace vantreel::platform::log
