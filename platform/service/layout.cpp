#include "platform/service/layout.hpp"

#include <utility>

#include "platform/service/host.hpp"
#include "platform/service/unit_texts.hpp"

namespace vantreel::platform::service {
namespace {

constexpr std::string_view darwinHelperDirectory = "/Library/PrivilegedHelperTools";
constexpr std::string_view darwinJobDirectory = "/Library/LaunchDaemons";
constexpr std::string_view linuxHelperDirectory = "/usr/local/libexec";
constexpr std::string_view linuxJobDirectory = "/etc/systemd/system";

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (const auto& part : parts) {
    if (!text.empty()) {
      text += separator;
    }
    text += part;
  }
  return text;
}

std::string unitName(std::string_view label) { return std::string(label) + ".service"; }
std::string socketUnitName(std::string_view label) { return std::string(label) + ".socket"; }

void replaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
  for (auto at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

// The unit texts name the paths as the installed system sees them, whatever the root.
std::string fillIn(std::string_view unitTemplate, const ServiceNames& names) {
  std::string text(unitTemplate);
  replaceAll(text, "@label@", names.label);
  replaceAll(text, "@program@", std::string(linuxHelperDirectory) + "/" + names.binaryName);
  replaceAll(text, "@state@", names.binaryName);
  replaceAll(text, "@socket@", "/run/" + names.machService);
  return text;
}

// A program path stays bare in the scripts when the shell would read it as one plain word.
std::string shellWord(std::string_view text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789/._-+") == std::string_view::npos;
  return plain ? std::string(text) : shellQuote(text);
}

}  // namespace

std::string shellQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string appleScriptEscape(std::string_view text) {
  std::string backslashes;
  for (const char c : text) {
    if (c == '\\') {
      backslashes += '\\';
    }
    backslashes += c;
  }
  std::string escaped;
  for (const char c : backslashes) {
    if (c == '"') {
      escaped += '\\';
    }
    escaped += c;
  }
  return escaped;
}

Layout::Layout(Kind kind, std::string root, const std::string& systemctl)
    : kind_(kind),
      root_(std::move(root)),
      systemctl_(shellWord(systemctl)),
      systemctlPath_(systemctl) {
  while (root_.size() > 1 && root_.back() == '/') {
    root_.pop_back();
  }
  if (root_.empty()) {
    root_ = "/";
  }
}

Layout Layout::darwin(std::string root) { return Layout(Kind::darwin, std::move(root), {}); }

Layout Layout::linux(std::string root, const std::string& systemctl) {
  return Layout(Kind::linux, std::move(root), systemctl);
}

std::string Layout::rooted(std::string_view systemPath) const {
  if (root_ == "/") {
    return std::string(systemPath);
  }
  return root_ + std::string(systemPath);
}

std::string Layout::serviceManagerName() const {
  return kind_ == Kind::darwin ? "launchd" : "systemd";
}

bool Layout::serviceManagerRunning() const {
  return kind_ == Kind::darwin || isDirectory(rooted("/run/systemd/system"));
}

std::string Layout::installedHelperPath(const ServiceNames& names) const {
  const auto directory = kind_ == Kind::darwin ? darwinHelperDirectory : linuxHelperDirectory;
  return rooted(std::string(directory) + "/" + names.binaryName);
}

std::string Layout::installedJobPath(const ServiceNames& names) const {
  if (kind_ == Kind::darwin) {
    return rooted(std::string(darwinJobDirectory) + "/" + names.plistName);
  }
  return rooted(std::string(linuxJobDirectory) + "/" + unitName(names.label));
}

std::string Layout::legacyJobPath(const ServiceNames& names) const {
  if (kind_ == Kind::darwin) {
    return rooted(std::string(darwinJobDirectory) + "/" + names.legacyPlistName);
  }
  return rooted(std::string(linuxJobDirectory) + "/" + unitName(names.legacyLabel));
}

std::string Layout::jobFileName(const ServiceNames& names) const {
  return kind_ == Kind::darwin ? names.plistName : unitName(names.label);
}

std::string Layout::removeLegacyJob(const ServiceNames& names) const {
  if (kind_ == Kind::darwin) {
    return "/bin/launchctl bootout system/" + names.legacyLabel + " 2>/dev/null; /bin/rm -f " +
           shellQuote(legacyJobPath(names));
  }
  return systemctl_ + " disable --now " + unitName(names.legacyLabel) +
         " 2>/dev/null; /bin/rm -f " + shellQuote(legacyJobPath(names));
}

std::string Layout::jobDocument(const ServiceNames& names) const {
  if (kind_ == Kind::darwin) {
    const std::string program = std::string(darwinHelperDirectory) + "/" + names.binaryName;
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n"
           "<dict>\n"
           "  <key>Label</key>\n"
           "  <string>" +
           names.label +
           "</string>\n"
           "  <key>ProgramArguments</key>\n"
           "  <array>\n"
           "    <string>" +
           program +
           "</string>\n"
           "  </array>\n"
           "  <key>MachServices</key>\n"
           "  <dict>\n"
           "    <key>" +
           names.machService +
           "</key>\n"
           "    <true/>\n"
           "  </dict>\n"
           "  <key>RunAtLoad</key>\n"
           "  <true/>\n"
           "  <key>AssociatedBundleIdentifiers</key>\n"
           "  <array>\n"
           "    <string>" +
           names.associatedBundleID +
           "</string>\n"
           "  </array>\n"
           "</dict>\n"
           "</plist>";
  }
  return fillIn(serviceUnitTemplate(), names);
}

std::string Layout::socketDocument(const ServiceNames& names) const {
  if (kind_ == Kind::darwin) {
    return {};
  }
  return fillIn(socketUnitTemplate(), names);
}

std::string Layout::socketFileName(const ServiceNames& names) const {
  return kind_ == Kind::darwin ? std::string() : socketUnitName(names.label);
}

std::string Layout::installedSocketPath(const ServiceNames& names) const {
  if (kind_ == Kind::darwin) {
    return {};
  }
  return rooted(std::string(linuxJobDirectory) + "/" + socketUnitName(names.label));
}

std::vector<std::string> Layout::installCommands(const ServiceNames& names,
                                                 const std::string& source,
                                                 const std::string& stagedJob) const {
  const std::string helper = shellQuote(installedHelperPath(names));
  const std::string job = shellQuote(installedJobPath(names));
  if (kind_ == Kind::darwin) {
    const std::string target = "system/" + names.label;
    return {
        removeLegacyJob(names),
        "/bin/launchctl bootout " + target + " 2>/dev/null",
        // The one fixed path the script leaves unquoted; any other root is quoted.
        "/bin/mkdir -p " + (root_ == "/" ? std::string(darwinHelperDirectory)
                                         : shellQuote(rooted(darwinHelperDirectory))),
        "/bin/cp -f " + shellQuote(source) + " " + helper,
        "/usr/sbin/chown root:wheel " + helper,
        "/bin/chmod 755 " + helper,
        "/bin/cp -f " + shellQuote(stagedJob) + " " + job,
        "/usr/sbin/chown root:wheel " + job,
        "/bin/chmod 644 " + job,
        "/bin/launchctl enable " + target,
        "/bin/launchctl bootstrap system " + job +
            " || { /bin/sleep 2; /bin/launchctl bootstrap system " + job + "; }",
    };
  }
  const std::string unit = unitName(names.label);
  const std::string socketUnit = socketUnitName(names.label);
  const std::string socket = shellQuote(installedSocketPath(names));
  const std::string stagedSocket =
      deletingLastPathComponent(stagedJob) + "/" + socketFileName(names);
  return {
      removeLegacyJob(names),
      // The socket first: the service requires it and goes with it, and no call that arrives
      // meanwhile can start the old daemon again. An older installation has no socket unit.
      systemctl_ + " stop " + socketUnit + " 2>/dev/null",
      systemctl_ + " stop " + unit + " 2>/dev/null",
      "/bin/mkdir -p " + shellQuote(rooted(linuxHelperDirectory)),
      "/bin/cp -f " + shellQuote(source) + " " + helper,
      "/bin/chown root:root " + helper,
      "/bin/chmod 755 " + helper,
      "/bin/mkdir -p " + shellQuote(rooted(linuxJobDirectory)),
      "/bin/cp -f " + shellQuote(stagedJob) + " " + job,
      "/bin/chown root:root " + job,
      "/bin/chmod 644 " + job,
      "/bin/cp -f " + shellQuote(stagedSocket) + " " + socket,
      "/bin/chown root:root " + socket,
      "/bin/chmod 644 " + socket,
      systemctl_ + " daemon-reload",
      systemctl_ + " enable " + socketUnit + " " + unit,
      systemctl_ + " start " + socketUnit,
      // Returns once the daemon is ready, its recovery done.
      "{ " + systemctl_ + " start " + unit + " || { /bin/sleep 2; " + systemctl_ + " start " +
          unit + "; }; }",
  };
}

std::string Layout::installScript(const ServiceNames& names, const std::string& source,
                                  const std::string& stagedJob) const {
  const auto commands = installCommands(names, source, stagedJob);
  if (kind_ == Kind::darwin) {
    return join(commands, "; ");
  }
  // Clearing out what was there may fail harmlessly; after that, a failed copy, ownership or
  // mode change stops the script, so that a half-installed daemon is never started and never
  // reported as installed.
  constexpr std::ptrdiff_t kClearing = 3;
  const std::vector<std::string> clearing(commands.begin(), commands.begin() + kClearing);
  const std::vector<std::string> installing(commands.begin() + kClearing, commands.end());
  return join(clearing, "; ") + "; " + join(installing, " && ");
}

std::vector<std::string> Layout::uninstallCommands(const ServiceNames& names) const {
  const std::string files =
      shellQuote(installedJobPath(names)) + " " + shellQuote(installedHelperPath(names));
  if (kind_ == Kind::darwin) {
    return {
        removeLegacyJob(names),
        "/bin/launchctl bootout system/" + names.label + " 2>/dev/null",
        "/bin/rm -f " + files,
    };
  }
  return {
      removeLegacyJob(names),
      // The socket first, as in installation; the service goes with it.
      systemctl_ + " disable --now " + socketUnitName(names.label) + " 2>/dev/null",
      systemctl_ + " disable --now " + unitName(names.label) + " 2>/dev/null",
      "/bin/rm -f " + shellQuote(installedSocketPath(names)) + " " + files + " && " + systemctl_ +
          " daemon-reload",
  };
}

std::string Layout::uninstallScript(const ServiceNames& names) const {
  return join(uninstallCommands(names), "; ");
}

std::vector<std::string> Layout::adminCommand(const std::string& script, bool callerIsRoot) const {
  if (kind_ == Kind::darwin) {
    return {"/usr/bin/osascript", "-e",
            "do shell script \"" + appleScriptEscape(script) + "\" with administrator privileges"};
  }
  if (callerIsRoot) {
    return {"/bin/sh", "-c", script};
  }
  return {"/usr/bin/pkexec", "/bin/sh", "-c", script};
}

bool Layout::adminPrompts(bool callerIsRoot) const {
  return kind_ == Kind::darwin || !callerIsRoot;
}

std::string Layout::adminProgramName(bool callerIsRoot) const {
  return lastPathComponent(adminCommand({}, callerIsRoot).front());
}

Layout::CertificateSource Layout::rootCertificateSource() const {
  if (kind_ == Kind::darwin) {
    return {{"/usr/bin/security", "find-certificate", "-a", "-p",
             "/System/Library/Keychains/SystemRootCertificates.keychain"},
            {}};
  }
  return {{}, rooted("/etc/ssl/certs/ca-certificates.crt")};
}

std::vector<std::string> Layout::bindCommand(const std::string& unit,
                                             const std::string& path) const {
  if (kind_ == Kind::darwin) {
    return {};
  }
  return {systemctlPath_, "bind", "--", unit, path};
}

std::vector<std::string> Layout::routeDeleteCommand(const std::string& address) const {
  if (kind_ == Kind::darwin) {
    return {"/sbin/route", "-n", "delete", "-host", address};
  }
  return {"/sbin/ip", "-4", "route", "del", address + "/32"};
}

}  // namespace vantreel::platform::service
