#include "helper/system_roots.hpp"

#include <filesystem>
#include <system_error>

#include "helper/secret_input.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/process/pipe.hpp"
#include "platform/process/task.hpp"
#include "platform/service/host.hpp"

namespace vantreel::SystemRoots {
namespace {

namespace process = platform::process;

constexpr std::string_view kPemMarker = "-----BEGIN CERTIFICATE-----";

std::optional<std::string> runCertificateCommand(const std::vector<std::string>& command) {
  auto output = process::Pipe::make();
  auto null = process::FileHandle::fileHandleWithNullDevice();
  if (!output || !null) {
    return std::nullopt;
  }
  auto task = process::Task::create();
  task->setExecutable(command.front());
  task->setArguments(std::vector<std::string>(command.begin() + 1, command.end()));
  task->setStandardOutput(*output);
  task->setStandardError(*null);
  if (!task->launch()) {
    return std::nullopt;
  }
  auto text = output->fileHandleForReading()->readDataToEndOfFile();
  task->waitUntilExit();
  if (!text) {
    return std::nullopt;
  }
  return std::move(*text);
}

std::optional<std::string> readCertificateFile(const std::string& path) {
  auto fd = platform::codesign::file_access::openForReading(path);
  if (!fd) {
    return std::nullopt;
  }
  process::FileHandle file(std::move(*fd));
  auto text = file.readDataToEndOfFile();
  if (!text) {
    return std::nullopt;
  }
  return std::move(*text);
}

}  // namespace

std::optional<std::string> exportFor(const RunnerSettings& settings) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::create_directories(settings.exportDirectory, error)) {
    fs::permissions(settings.exportDirectory, fs::perms(0755), fs::perm_options::replace, error);
  }
  const auto& source = settings.certificateSource;
  const auto text = source.command.empty() ? readCertificateFile(source.file)
                                           : runCertificateCommand(source.command);
  if (!text || !SecretInput::isValidUtf8(*text) || text->find(kPemMarker) == std::string::npos) {
    return std::nullopt;
  }
  const std::string file = settings.exportDirectory + "/system-roots.pem";
  // A failed write must not name whatever file happens to be there as the CA file.
  if (!platform::service::writeFileAtomically(file, *text, 0644)) {
    return std::nullopt;
  }
  return file;
}

}  // namespace vantreel::SystemRoots
