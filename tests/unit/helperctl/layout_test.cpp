#include "platform/service/layout.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "helperctl/helper_install.hpp"
#include "platform/service/host.hpp"

namespace vantreel {
namespace {

using platform::service::Layout;

const platform::service::ServiceNames& names() { return HelperInstall::serviceNames(); }

constexpr const char* source =
    "/Applications/Vantreel.app/Contents/Library/LaunchDaemons/org.vantreel.desktop.helper";
constexpr const char* staged = "/var/folders/zz/T/org.vantreel.desktop.helperd.plist";

TEST(DarwinLayout, FixedPathsAndLegacyRemoval) {
  const auto layout = Layout::darwin();
  EXPECT_EQ(layout.installedHelperPath(names()),
            "/Library/PrivilegedHelperTools/org.vantreel.desktop.helper");
  EXPECT_EQ(layout.installedJobPath(names()),
            "/Library/LaunchDaemons/org.vantreel.desktop.helperd.plist");
  EXPECT_EQ(layout.legacyJobPath(names()),
            "/Library/LaunchDaemons/org.vantreel.desktop.helper.plist");
  EXPECT_EQ(layout.removeLegacyJob(names()),
            "/bin/launchctl bootout system/org.vantreel.desktop.helper 2>/dev/null; /bin/rm -f "
            "'/Library/LaunchDaemons/org.vantreel.desktop.helper.plist'");
}

TEST(DarwinLayout, PropertyListIsTheExactDocument) {
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n"
      "<dict>\n"
      "  <key>Label</key>\n"
      "  <string>org.vantreel.desktop.helperd</string>\n"
      "  <key>ProgramArguments</key>\n"
      "  <array>\n"
      "    <string>/Library/PrivilegedHelperTools/org.vantreel.desktop.helper</string>\n"
      "  </array>\n"
      "  <key>MachServices</key>\n"
      "  <dict>\n"
      "    <key>org.vantreel.desktop.helperd</key>\n"
      "    <true/>\n"
      "  </dict>\n"
      "  <key>RunAtLoad</key>\n"
      "  <true/>\n"
      "  <key>AssociatedBundleIdentifiers</key>\n"
      "  <array>\n"
      "    <string>org.vantreel.desktop</string>\n"
      "  </array>\n"
      "</dict>\n"
      "</plist>";
  const std::string plist = Layout::darwin().jobDocument(names());
  EXPECT_EQ(plist, expected);
  EXPECT_EQ(plist.size(), 623U);
  EXPECT_EQ(std::count(plist.begin(), plist.end(), '\n'), 22);
  EXPECT_NE(plist.back(), '\n');
  // A scratch root moves the files, never what launchd is told to run.
  EXPECT_EQ(Layout::darwin("/tmp/scratch/").jobDocument(names()), expected);
}

TEST(DarwinLayout, InstallScriptIsElevenCommandsJoinedBySemicolons) {
  const auto layout = Layout::darwin();
  const auto commands = layout.installCommands(names(), source, staged);
  ASSERT_EQ(commands.size(), 11U);
  const std::string helper = "'/Library/PrivilegedHelperTools/org.vantreel.desktop.helper'";
  const std::string plist = "'/Library/LaunchDaemons/org.vantreel.desktop.helperd.plist'";
  const std::string expected =
      "/bin/launchctl bootout system/org.vantreel.desktop.helper 2>/dev/null; /bin/rm -f "
      "'/Library/LaunchDaemons/org.vantreel.desktop.helper.plist'; "
      "/bin/launchctl bootout system/org.vantreel.desktop.helperd 2>/dev/null; "
      "/bin/mkdir -p /Library/PrivilegedHelperTools; "
      "/bin/cp -f '" +
      std::string(source) + "' " + helper + "; /usr/sbin/chown root:wheel " + helper +
      "; /bin/chmod 755 " + helper + "; /bin/cp -f '" + staged + "' " + plist +
      "; /usr/sbin/chown root:wheel " + plist + "; /bin/chmod 644 " + plist +
      "; /bin/launchctl enable system/org.vantreel.desktop.helperd; "
      "/bin/launchctl bootstrap system " +
      plist + " || { /bin/sleep 2; /bin/launchctl bootstrap system " + plist + "; }";
  EXPECT_EQ(layout.installScript(names(), source, staged), expected);
}

TEST(DarwinLayout, UninstallScriptIsThreeCommands) {
  EXPECT_EQ(Layout::darwin().uninstallScript(names()),
            "/bin/launchctl bootout system/org.vantreel.desktop.helper 2>/dev/null; /bin/rm -f "
            "'/Library/LaunchDaemons/org.vantreel.desktop.helper.plist'; "
            "/bin/launchctl bootout system/org.vantreel.desktop.helperd 2>/dev/null; "
            "/bin/rm -f '/Library/LaunchDaemons/org.vantreel.desktop.helperd.plist' "
            "'/Library/PrivilegedHelperTools/org.vantreel.desktop.helper'");
}

TEST(DarwinLayout, QuotesSingleQuotesThenEscapesForAppleScriptBackslashesFirst) {
  EXPECT_EQ(platform::service::shellQuote("/Users/o'brien/x"), "'/Users/o'\\''brien/x'");
  EXPECT_EQ(platform::service::shellQuote(""), "''");

  const auto script = Layout::darwin().installScript(
      names(), "/Users/o'brien/Vantreel.app/Contents/Library/LaunchDaemons/h", "/tmp/a\"b\\c");
  EXPECT_NE(script.find("/bin/cp -f '/Users/o'\\''brien/Vantreel.app/Contents/Library/"
                        "LaunchDaemons/h' "),
            std::string::npos);

  // A backslash before a quote must come out as \\\" — escaping quotes first would give \\".
  EXPECT_EQ(platform::service::appleScriptEscape("a\\\"b"), "a\\\\\\\"b");
  const auto argv = Layout::darwin().adminCommand("echo \"it's\" \\ 'x'", false);
  const std::vector<std::string> expected = {
      "/usr/bin/osascript", "-e",
      "do shell script \"echo \\\"it's\\\" \\\\ 'x'\" with administrator privileges"};
  EXPECT_EQ(argv, expected);
  EXPECT_EQ(Layout::darwin().adminCommand("x", true), Layout::darwin().adminCommand("x", false));
  EXPECT_EQ(Layout::darwin().adminProgramName(false), "osascript");
}

TEST(DarwinLayout, SystemCommandsOfTheDaemon) {
  const auto roots = Layout::darwin().rootCertificateSource();
  EXPECT_EQ(roots.command, (std::vector<std::string>{
                               "/usr/bin/security", "find-certificate", "-a", "-p",
                               "/System/Library/Keychains/SystemRootCertificates.keychain"}));
  EXPECT_TRUE(roots.file.empty());
  EXPECT_EQ(Layout::darwin().routeDeleteCommand("192.0.2.7"),
            (std::vector<std::string>{"/sbin/route", "-n", "delete", "-host", "192.0.2.7"}));
}

TEST(LinuxLayout, PathsUnitAndSystemCommands) {
  const auto layout = Layout::linux();
  EXPECT_EQ(layout.installedHelperPath(names()), "/usr/local/libexec/org.vantreel.desktop.helper");
  EXPECT_EQ(layout.installedJobPath(names()),
            "/etc/systemd/system/org.vantreel.desktop.helperd.service");
  EXPECT_EQ(layout.legacyJobPath(names()),
            "/etc/systemd/system/org.vantreel.desktop.helper.service");
  EXPECT_EQ(layout.jobFileName(names()), "org.vantreel.desktop.helperd.service");
  EXPECT_EQ(layout.installedSocketPath(names()),
            "/etc/systemd/system/org.vantreel.desktop.helperd.socket");
  EXPECT_EQ(layout.socketFileName(names()), "org.vantreel.desktop.helperd.socket");
  EXPECT_EQ(layout.rootCertificateSource().file, "/etc/ssl/certs/ca-certificates.crt");
  EXPECT_TRUE(layout.rootCertificateSource().command.empty());
  EXPECT_EQ(layout.routeDeleteCommand("192.0.2.7"),
            (std::vector<std::string>{"/sbin/ip", "-4", "route", "del", "192.0.2.7/32"}));

  const auto scratch = Layout::linux("/tmp/r/");
  EXPECT_EQ(scratch.installedHelperPath(names()),
            "/tmp/r/usr/local/libexec/org.vantreel.desktop.helper");
  EXPECT_EQ(scratch.rootCertificateSource().file, "/tmp/r/etc/ssl/certs/ca-certificates.crt");
  EXPECT_EQ(scratch.jobDocument(names()), layout.jobDocument(names()));
  EXPECT_EQ(scratch.socketDocument(names()), layout.socketDocument(names()));
  EXPECT_EQ(scratch.installedSocketPath(names()),
            "/tmp/r/etc/systemd/system/org.vantreel.desktop.helperd.socket");
  EXPECT_EQ(
      layout.bindCommand("u.service", "/etc/resolv.conf"),
      (std::vector<std::string>{"/bin/systemctl", "bind", "--", "u.service", "/etc/resolv.conf"}));
  EXPECT_TRUE(Layout::darwin().bindCommand("u", "/etc/resolv.conf").empty());
  EXPECT_TRUE(Layout::darwin().socketDocument(names()).empty());
}

// A unit text as systemd reads it: every line blank, a comment, a section or a setting; the
// settings as (section, key) -> values in order.
std::multimap<std::pair<std::string, std::string>, std::string> settingsOf(const std::string& text,
                                                                           int& comments) {
  std::multimap<std::pair<std::string, std::string>, std::string> settings;
  std::istringstream lines(text);
  std::string line;
  std::string section;
  comments = 0;
  while (std::getline(lines, line)) {
    if (line.empty()) {
      continue;
    }
    if (line[0] == '#') {
      ++comments;
    } else if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
    } else {
      const auto equals = line.find('=');
      EXPECT_NE(equals, std::string::npos) << "not a setting: " << line;
      EXPECT_FALSE(section.empty()) << "outside a section: " << line;
      if (equals != std::string::npos) {
        settings.emplace(std::pair{section, line.substr(0, equals)}, line.substr(equals + 1));
      }
    }
  }
  return settings;
}

TEST(LinuxLayout, UnitsHandOverTheEndpointAndKeepTheDaemonConfined) {
  const auto layout = Layout::linux();
  struct Setting {
    bool socketUnit;
    const char* section;
    const char* key;
    const char* value;
  };
  // What the daemon, the installer and the confinement rely on; the rest of the text (its
  // comments above all) may change freely.
  const std::vector<Setting> required = {
      {false, "Unit", "Requires", "org.vantreel.desktop.helperd.socket"},
      {false, "Unit", "After", "org.vantreel.desktop.helperd.socket"},
      {false, "Service", "Type", "notify"},
      {false, "Service", "ExecStart", "/usr/local/libexec/org.vantreel.desktop.helper"},
      {false, "Service", "Restart", "on-failure"},
      {false, "Service", "KillMode", "mixed"},
      {false, "Service", "StateDirectory", "org.vantreel.desktop.helper"},
      {false, "Service", "StateDirectoryMode", "0700"},
      {false, "Service", "UMask", "0077"},
      {false, "Service", "ProtectSystem", "strict"},
      {false, "Service", "ReadWritePaths", "/run -/etc/resolv.conf"},
      {false, "Service", "ProtectHome", "read-only"},
      {false, "Service", "PrivateTmp", "yes"},
      {false, "Service", "PrivateIPC", "yes"},
      {false, "Service", "ProtectProc", "invisible"},
      {false, "Service", "ProtectKernelTunables", "yes"},
      {false, "Service", "ProtectKernelModules", "yes"},
      {false, "Service", "ProtectControlGroups", "yes"},
      {false, "Service", "NoNewPrivileges", "yes"},
      {false, "Service", "CapabilityBoundingSet",
       "CAP_NET_ADMIN CAP_DAC_READ_SEARCH CAP_KILL CAP_SYS_PTRACE"},
      {false, "Service", "DevicePolicy", "closed"},
      {false, "Service", "DeviceAllow", "/dev/net/tun rw"},
      {false, "Service", "RestrictAddressFamilies", "AF_UNIX AF_NETLINK AF_INET AF_INET6"},
      {false, "Service", "RestrictNamespaces", "yes"},
      {false, "Service", "RestrictSUIDSGID", "yes"},
      {false, "Service", "MemoryDenyWriteExecute", "yes"},
      {false, "Service", "SystemCallArchitectures", "native"},
      {false, "Service", "SystemCallFilter", "@system-service"},
      {false, "Service", "SystemCallFilter", "~@privileged @resources"},
      {false, "Install", "WantedBy", "multi-user.target"},
      {true, "Socket", "ListenSequentialPacket", "/run/org.vantreel.desktop.helperd"},
      {true, "Socket", "SocketMode", "0666"},
      {true, "Socket", "SocketUser", "root"},
      {true, "Socket", "Service", "org.vantreel.desktop.helperd.service"},
      {true, "Socket", "CapabilityBoundingSet", ""},
      {true, "Socket", "NoNewPrivileges", "yes"},
      {true, "Socket", "RestrictAddressFamilies", "none"},
      {true, "Install", "WantedBy", "sockets.target"},
  };
  // A later line of the same key overrides or widens an earlier one: beyond the lists of units
  // to order against or be wanted by, a key says exactly what the table says, no more.
  const auto openList = [](const std::string& key) {
    return key == "Requires" || key == "After" || key == "WantedBy";
  };
  int serviceComments = 0;
  int socketComments = 0;
  const auto service = settingsOf(layout.jobDocument(names()), serviceComments);
  const auto socket = settingsOf(layout.socketDocument(names()), socketComments);
  for (const bool socketUnit : {false, true}) {
    const auto& settings = socketUnit ? socket : service;
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> wanted;
    for (const auto& setting : required) {
      if (setting.socketUnit == socketUnit) {
        wanted[{setting.section, setting.key}].emplace_back(setting.value);
      }
    }
    for (const auto& [place, values] : wanted) {
      const auto [first, last] = settings.equal_range(place);
      std::vector<std::string> given;
      for (auto at = first; at != last; ++at) {
        given.push_back(at->second);
      }
      const auto where =
          std::string(socketUnit ? "socket" : "service") + " [" + place.first + "] " + place.second;
      if (openList(place.second)) {
        for (const auto& value : values) {
          EXPECT_NE(std::find(given.begin(), given.end(), value), given.end())
              << where << "=" << value;
        }
      } else {
        EXPECT_EQ(given, values) << where;
      }
    }
  }
  // The daemon binds nothing itself under systemd, and nothing is left to fill in.
  EXPECT_EQ(service.count({"Service", "Sockets"}) + service.count({"Service", "ExecStartPre"}), 0U);
  for (const auto& text : {layout.jobDocument(names()), layout.socketDocument(names())}) {
    for (const char* placeholder : {"@label@", "@program@", "@state@", "@socket@"}) {
      EXPECT_EQ(text.find(placeholder), std::string::npos) << text;
    }
  }
  // The installed units explain themselves.
  EXPECT_GE(serviceComments, 3);
  EXPECT_GE(socketComments, 1);
}

TEST(LinuxLayout, InstallScriptStopsAtTheFirstFailedFileStep) {
  const std::string unitSource = "/tmp/org.vantreel.desktop.helperd.service";
  const std::string helper = "'/usr/local/libexec/org.vantreel.desktop.helper'";
  const std::string unit = "'/etc/systemd/system/org.vantreel.desktop.helperd.service'";
  const std::string socket = "'/etc/systemd/system/org.vantreel.desktop.helperd.socket'";
  EXPECT_EQ(
      Layout::linux().installScript(names(), "/opt/V'.app/h", unitSource),
      "/bin/systemctl disable --now org.vantreel.desktop.helper.service 2>/dev/null; /bin/rm -f "
      "'/etc/systemd/system/org.vantreel.desktop.helper.service'; "
      "/bin/systemctl stop org.vantreel.desktop.helperd.socket 2>/dev/null; "
      "/bin/systemctl stop org.vantreel.desktop.helperd.service 2>/dev/null; "
      "/bin/mkdir -p '/usr/local/libexec' && /bin/cp -f '/opt/V'\\''.app/h' " +
          helper + " && /bin/chown root:root " + helper + " && /bin/chmod 755 " + helper +
          " && /bin/mkdir -p '/etc/systemd/system' && /bin/cp -f '" + unitSource + "' " + unit +
          " && /bin/chown root:root " + unit + " && /bin/chmod 644 " + unit +
          " && /bin/cp -f '/tmp/org.vantreel.desktop.helperd.socket' " + socket +
          " && /bin/chown root:root " + socket + " && /bin/chmod 644 " + socket +
          " && /bin/systemctl daemon-reload"
          " && /bin/systemctl enable org.vantreel.desktop.helperd.socket "
          "org.vantreel.desktop.helperd.service"
          " && /bin/systemctl start org.vantreel.desktop.helperd.socket"
          " && { /bin/systemctl start org.vantreel.desktop.helperd.service || { /bin/sleep 2; "
          "/bin/systemctl start org.vantreel.desktop.helperd.service; }; }");
  EXPECT_EQ(Layout::linux().uninstallScript(names()),
            "/bin/systemctl disable --now org.vantreel.desktop.helper.service 2>/dev/null; "
            "/bin/rm -f '/etc/systemd/system/org.vantreel.desktop.helper.service'; "
            "/bin/systemctl disable --now org.vantreel.desktop.helperd.socket 2>/dev/null; "
            "/bin/systemctl disable --now org.vantreel.desktop.helperd.service 2>/dev/null; "
            "/bin/rm -f " +
                socket + " " + unit + " " + helper + " && /bin/systemctl daemon-reload");
}

TEST(LinuxLayout, RunningSystemTextsAndAnUnusualSystemctlPath) {
  EXPECT_EQ(HelperInstall::installedHelperPath(), "/usr/local/libexec/org.vantreel.desktop.helper");
  EXPECT_EQ(HelperInstall::installedPlistPath(),
            "/etc/systemd/system/org.vantreel.desktop.helperd.service");
  EXPECT_EQ(HelperInstall::legacyPlistPath(),
            "/etc/systemd/system/org.vantreel.desktop.helper.service");
  EXPECT_EQ(HelperInstall::removeLegacyJob(), Layout::linux().removeLegacyJob(names()));
  // A stand-in path the shell would split or expand is quoted like any other path.
  EXPECT_EQ(Layout::linux("/", "/tmp/a b/$(x)/systemctl").removeLegacyJob(names()),
            "'/tmp/a b/$(x)/systemctl' disable --now org.vantreel.desktop.helper.service "
            "2>/dev/null; /bin/rm -f '/etc/systemd/system/org.vantreel.desktop.helper.service'");
}

TEST(LinuxLayout, AdminCommandIsPkexecUnlessAlreadyRoot) {
  EXPECT_EQ(Layout::linux().adminCommand("true", false),
            (std::vector<std::string>{"/usr/bin/pkexec", "/bin/sh", "-c", "true"}));
  EXPECT_EQ(Layout::linux().adminCommand("true", true),
            (std::vector<std::string>{"/bin/sh", "-c", "true"}));
  EXPECT_EQ(Layout::linux().adminProgramName(false), "pkexec");
  EXPECT_EQ(Layout::linux().adminProgramName(true), "sh");
  EXPECT_TRUE(Layout::linux().adminPrompts(false));
  EXPECT_FALSE(Layout::linux().adminPrompts(true));
  EXPECT_TRUE(Layout::darwin().adminPrompts(true));
}

// OpenConnect's locale: a name the system has no locale for is passed over.
TEST(Host, FirstAvailableLocaleInOrder) {
  const struct {
    std::vector<std::string> names;
    std::string chosen;
  } cases[] = {
      {{"xx_NOWHERE.UTF-8", "C.UTF-8"}, "C.UTF-8"},
      {{"C.UTF-8", "xx_NOWHERE.UTF-8"}, "C.UTF-8"},
      {{"xx_NOWHERE.UTF-8", "yy_NOWHERE.UTF-8"}, "yy_NOWHERE.UTF-8"},
      {{}, ""},
  };
  for (const auto& [names, chosen] : cases) {
    EXPECT_EQ(platform::service::firstAvailableLocale(names), chosen) << names.size();
  }
}

}  // namespace
}  // namespace vantreel
