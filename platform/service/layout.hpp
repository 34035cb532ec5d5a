#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/service/service_names.hpp"

#if defined(linux) || defined(darwin)
#error "build with -std=c++20 (not gnu++20): the layout names its kinds darwin and linux"
#endif

namespace vantreel::platform::service {

// Where a system daemon lives on one operating system and how it is installed, started and
// removed, as plain texts. Paths that the installer touches are placed under root (the system's
// own "/" unless a test installs into a scratch directory); texts that the installed system
// reads later (the job document) name the paths as the system sees them.
class Layout {
 public:
  enum class Kind { darwin, linux };

  // launchd: /Library/PrivilegedHelperTools, /Library/LaunchDaemons, launchctl, osascript.
  [[nodiscard]] static Layout darwin(std::string root = "/");
  // systemd: /usr/local/libexec, /etc/systemd/system, systemctl, pkexec. systemctl names the
  // program the scripts call, which a test may replace with a recording stand-in.
  [[nodiscard]] static Layout linux(std::string root = "/",
                                    const std::string& systemctl = "/bin/systemctl");
  // The layout of the system this program runs on.
  [[nodiscard]] static Layout running();

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] const std::string& root() const { return root_; }
  // The system path placed under root.
  [[nodiscard]] std::string rooted(std::string_view systemPath) const;

  // "launchd" or "systemd".
  [[nodiscard]] std::string serviceManagerName() const;
  // Whether the service manager is up (launchd always is; systemd when /run/systemd/system is a
  // directory under root).
  [[nodiscard]] bool serviceManagerRunning() const;

  // Installed paths, under root.
  [[nodiscard]] std::string installedHelperPath(const ServiceNames& names) const;
  [[nodiscard]] std::string installedJobPath(const ServiceNames& names) const;
  [[nodiscard]] std::string legacyJobPath(const ServiceNames& names) const;
  // The file name under which the job document is staged in a temporary directory.
  [[nodiscard]] std::string jobFileName(const ServiceNames& names) const;

  // Shell text that stops the older job and deletes its job file; failures are ignored.
  [[nodiscard]] std::string removeLegacyJob(const ServiceNames& names) const;
  // The launchd property list or the systemd service unit of the job.
  [[nodiscard]] std::string jobDocument(const ServiceNames& names) const;
  // systemd's socket unit, which holds the job's endpoint and starts the service; its file name,
  // staged beside the job document; and its installed path. Empty for launchd, whose job
  // document names the endpoint itself.
  [[nodiscard]] std::string socketDocument(const ServiceNames& names) const;
  [[nodiscard]] std::string socketFileName(const ServiceNames& names) const;
  [[nodiscard]] std::string installedSocketPath(const ServiceNames& names) const;

  // The commands that install the daemon from source and the job document staged at
  // stagedJob (with the socket unit beside it under socketFileName), and the one script they
  // make.
  [[nodiscard]] std::vector<std::string> installCommands(const ServiceNames& names,
                                                         const std::string& source,
                                                         const std::string& stagedJob) const;
  [[nodiscard]] std::string installScript(const ServiceNames& names, const std::string& source,
                                          const std::string& stagedJob) const;
  [[nodiscard]] std::vector<std::string> uninstallCommands(const ServiceNames& names) const;
  [[nodiscard]] std::string uninstallScript(const ServiceNames& names) const;

  // The program and arguments that run script as the administrator: osascript's administrator
  // prompt, pkexec, or a plain shell when the caller is root already.
  [[nodiscard]] std::vector<std::string> adminCommand(const std::string& script,
                                                      bool callerIsRoot) const;
  // Whether adminCommand asks the user for the administrator's consent (osascript, pkexec) or
  // just runs the script (a root caller on Linux).
  [[nodiscard]] bool adminPrompts(bool callerIsRoot) const;
  // The file name of the program adminCommand starts, for messages.
  [[nodiscard]] std::string adminProgramName(bool callerIsRoot) const;

  // Where the system's trusted root certificates come from: a command printing them as PEM
  // (darwin), or a PEM file under root (linux). Exactly one of the two is set.
  struct CertificateSource {
    std::vector<std::string> command;
    std::string file;
  };
  [[nodiscard]] CertificateSource rootCertificateSource() const;

  // The command that has the service manager bind the file at path, as the system sees it now,
  // into the view of the running unit (systemd only; empty for launchd, which confines nothing).
  [[nodiscard]] std::vector<std::string> bindCommand(const std::string& unit,
                                                     const std::string& path) const;

  // The command that deletes the host route to one IPv4 address given as dotted-decimal text.
  [[nodiscard]] std::vector<std::string> routeDeleteCommand(const std::string& address) const;

 private:
  Layout(Kind kind, std::string root, const std::string& systemctl);

  Kind kind_;
  std::string root_;
  std::string systemctl_;
  std::string systemctlPath_;
};

// x inside single quotes, each single quote in it written as '\'' .
[[nodiscard]] std::string shellQuote(std::string_view text);
// text escaped for an AppleScript string literal: backslashes first, then double quotes.
[[nodiscard]] std::string appleScriptEscape(std::string_view text);

}  // namespace vantreel::platform::service
