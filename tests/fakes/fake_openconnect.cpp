// Scripted stand-in for OpenConnect in integration tests. It is started with OpenConnect's
// argument list and an environment of only LANG, PATH and DYLD_LIBRARY_PATH, so everything it
// needs comes from the scenario directory compiled into it; it keeps working when copied into
// an app bundle. It depends on the C++ standard library and libc only.
//
// It picks <dir>/<user>.scenario by the value after "--user", writes <dir>/<user>.record with
// what it was given, then plays the scenario. The scenario format is described in
// fake_openconnect_control.hpp.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef VT_FAKE_OPENCONNECT_DIR
#error "VT_FAKE_OPENCONNECT_DIR must name the scenario directory"
#endif

extern char** environ;

namespace {

volatile sig_atomic_t gSignalled = 0;

void onSignal(int signal) { gSignalled = signal; }

bool validUser(const std::string& user) {
  if (user.empty() || user.size() > 128) {
    return false;
  }
  for (const char c : user) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '@' || c == '+' || c == '-';
    if (!ok) {
      return false;
    }
  }
  // "." and ".." are valid user names but would name directories.
  return user != "." && user != "..";
}

void writeAllTo(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

std::string readStandardInput() {
  std::string data;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return data;
    }
  }
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

bool unhex(const std::string& text, std::string& out) {
  const auto value = [](char c) {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  };
  std::string digits;
  for (const char c : text) {
    if (c != ' ') {
      digits.push_back(c);
    }
  }
  if (digits.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = value(digits[i]);
    const int low = value(digits[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

// Lines are "<length>:<bytes>" so that any byte, newlines included, survives.
void recordField(std::string& out, const char* key, const std::string& value) {
  out += key;
  out += ' ';
  out += std::to_string(value.size());
  out += ':';
  out += value;
  out += '\n';
}

void writeRecord(const std::string& path, int argc, char** argv, const std::string& input) {
  std::string out = "pid " + std::to_string(::getpid()) + "\n";
  for (int i = 0; i < argc; ++i) {
    recordField(out, "arg", argv[i]);
  }
  for (char** entry = environ; *entry != nullptr; ++entry) {
    recordField(out, "env", *entry);
  }
  out += "stdin " + hex(input) + "\n";
  out += "end\n";
  // Written aside and renamed, so a reader never sees half a record.
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return;
  }
  writeAllTo(fd, out);
  (void)::close(fd);
  (void)::rename(temporary.c_str(), path.c_str());
}

void pause(long milliseconds) {
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    if (gSignalled != 0) {
      return;
    }
  }
}

struct Step {
  std::string verb;
  std::string argument;
};

struct Scenario {
  bool readInput = true;
  bool ignoreInt = false;
  bool ignoreTerm = false;
  int signalExit = 0;
  std::vector<Step> steps;
};

Scenario defaultScenario() {
  Scenario scenario;
  scenario.steps.push_back({"out", "Connected tun0 as 10.0.0.2"});
  scenario.steps.push_back({"wait", ""});
  return scenario;
}

bool parseScenario(const std::string& path, Scenario& scenario) {
  std::ifstream in(path);
  if (!in) {
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const auto blank = line.find(' ');
    const std::string verb = line.substr(0, blank);
    const std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (verb == "stdin") {
      scenario.readInput = argument != "skip";
    } else if (verb == "ignore") {
      scenario.ignoreInt = scenario.ignoreInt || argument == "INT";
      scenario.ignoreTerm = scenario.ignoreTerm || argument == "TERM";
    } else if (verb == "onsignal") {
      scenario.signalExit = std::atoi(argument.c_str());
    } else {
      scenario.steps.push_back({verb, argument});
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string directory = VT_FAKE_OPENCONNECT_DIR;
  std::string user;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--user") == 0) {
      user = argv[i + 1];
      break;
    }
  }
  // A cookie start names no user: its server's last path segment picks the scenario instead.
  if (user.empty() && argc > 1) {
    const std::string server = argv[argc - 1];
    if (const auto slash = server.rfind('/'); slash != std::string::npos) {
      user = server.substr(slash + 1);
    }
  }
  if (!validUser(user)) {
    user.clear();
  }

  Scenario scenario = defaultScenario();
  if (!user.empty()) {
    Scenario scripted;
    if (parseScenario(directory + "/" + user + ".scenario", scripted)) {
      scenario = scripted;
    }
  }

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGINT, scenario.ignoreInt ? &ignore : &action, nullptr);
  ::sigaction(SIGTERM, scenario.ignoreTerm ? &ignore : &action, nullptr);

  const std::string input = scenario.readInput ? readStandardInput() : std::string();
  if (!user.empty()) {
    writeRecord(directory + "/" + user + ".record", argc, argv, input);
  }

  for (const auto& step : scenario.steps) {
    if (gSignalled != 0) {
      return scenario.signalExit;
    }
    if (step.verb == "out" || step.verb == "err") {
      writeAllTo(step.verb == "out" ? 1 : 2, step.argument + "\n");
    } else if (step.verb == "repeat") {
      // "<count> <text>": count lines "<text> <i>" on standard output, as fast as they go.
      const auto blank = step.argument.find(' ');
      const long count = std::atol(step.argument.substr(0, blank).c_str());
      const std::string text = blank == std::string::npos ? "" : step.argument.substr(blank + 1);
      for (long i = 1; i <= count && gSignalled == 0; ++i) {
        writeAllTo(1, text + " " + std::to_string(i) + "\n");
      }
    } else if (step.verb == "rawout" || step.verb == "rawerr") {
      std::string bytes;
      if (unhex(step.argument, bytes)) {
        writeAllTo(step.verb == "rawout" ? 1 : 2, bytes);
      }
    } else if (step.verb == "sleep") {
      pause(std::atol(step.argument.c_str()));
    } else if (step.verb == "wait") {
      // Blocked while checking, so a signal cannot slip in between check and suspend.
      sigset_t stopping;
      sigemptyset(&stopping);
      sigaddset(&stopping, SIGINT);
      sigaddset(&stopping, SIGTERM);
      sigset_t previous;
      ::pthread_sigmask(SIG_BLOCK, &stopping, &previous);
      sigset_t none;
      sigemptyset(&none);
      while (gSignalled == 0) {
        ::sigsuspend(&none);  // NOLINT(concurrency-mt-unsafe): the program has one thread
      }
      ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    } else if (step.verb == "exit") {
      return std::atoi(step.argument.c_str());
    } else if (step.verb == "kill") {
      // Ends by a signal of its own, with the default disposition.
      const int number = std::atoi(step.argument.c_str());
      struct sigaction fallback {};
      fallback.sa_handler = SIG_DFL;
      sigemptyset(&fallback.sa_mask);
      (void)::sigaction(number, &fallback, nullptr);
      (void)::raise(number);
    }
  }
  return gSignalled != 0 ? scenario.signalExit : 0;
}
