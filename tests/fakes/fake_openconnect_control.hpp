#pragma once

// Test support for the scripted OpenConnect stand-in: writes scenarios for it and reads the
// records it leaves. Header-only; link the vt_fake_openconnect_control target.
//
// A scenario is <dir>/<user>.scenario, one directive per line ('#' starts a comment):
//   stdin skip        do not read standard input first (by default it is read to end of file)
//   ignore INT|TERM   ignore SIGINT or SIGTERM (otherwise either one ends the run)
//   onsignal <code>   exit code after SIGINT/SIGTERM (default 0)
//   out <text>        print <text> and a line feed on standard output
//   repeat <n> <text> print n lines "<text> <i>" (i from 1) on standard output
//   err <text>        the same on standard error
//   rawout <hex>      write these bytes, as they are, on standard output (blanks allowed)
//   rawerr <hex>      the same on standard error
//   sleep <ms>        pause
//   wait              wait for SIGINT or SIGTERM
//   exit <code>       exit with <code> at once
//   kill <signal>     end by that signal number
// Without a scenario it prints "Connected tun0 as 10.0.0.2" and waits for SIGINT/SIGTERM.
//
// The record <dir>/<user>.record is written after standard input was read, before the first
// step: "pid <n>", then "arg <len>:<bytes>" per argument (argv[0] first) and "env <len>:<bytes>"
// per environment entry, "stdin <hex>", "end".

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vantreel::testing {

class FakeOpenConnect {
 public:
  // The stand-in program, as built.
  static std::filesystem::path executable() { return VT_FAKE_OPENCONNECT_PATH; }
  // The directory compiled into it.
  static std::filesystem::path directory() { return VT_FAKE_OPENCONNECT_DIR; }

  class Scenario {
   public:
    Scenario& skipStandardInput() { return add("stdin skip"); }
    Scenario& ignoreSigint() { return add("ignore INT"); }
    Scenario& ignoreSigterm() { return add("ignore TERM"); }
    Scenario& exitOnSignal(int code) { return add("onsignal " + std::to_string(code)); }
    Scenario& out(const std::string& line) { return add("out " + line); }
    Scenario& err(const std::string& line) { return add("err " + line); }
    Scenario& repeat(long count, const std::string& text) {
      return add("repeat " + std::to_string(count) + " " + text);
    }
    Scenario& rawOut(const std::string& bytes) { return add("rawout " + hex(bytes)); }
    Scenario& rawErr(const std::string& bytes) { return add("rawerr " + hex(bytes)); }
    Scenario& sleep(std::chrono::milliseconds pause) {
      return add("sleep " + std::to_string(pause.count()));
    }
    Scenario& waitForSignal() { return add("wait"); }
    Scenario& exit(int code) { return add("exit " + std::to_string(code)); }
    Scenario& killSelf(int signal) { return add("kill " + std::to_string(signal)); }

    [[nodiscard]] const std::string& text() const { return text_; }

   private:
    Scenario& add(const std::string& line) {
      text_ += line + "\n";
      return *this;
    }
    static std::string hex(const std::string& bytes) {
      static const char digits[] = "0123456789abcdef";
      std::string out;
      for (const unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
      }
      return out;
    }
    std::string text_;
  };

  struct Record {
    int pid = 0;
    std::vector<std::string> arguments;  // argv[0] first
    std::vector<std::string> environment;
    std::string standardInput;
  };

  // Installs the scenario for user and removes an older record of that user.
  static void writeScenario(const std::string& user, const Scenario& scenario) {
    std::filesystem::create_directories(directory());
    std::filesystem::remove(recordPath(user));
    std::ofstream(scenarioPath(user), std::ios::binary | std::ios::trunc) << scenario.text();
  }

  static void removeScenario(const std::string& user) {
    std::filesystem::remove(scenarioPath(user));
    std::filesystem::remove(recordPath(user));
  }

  static std::filesystem::path scenarioPath(const std::string& user) {
    return directory() / (user + ".scenario");
  }
  static std::filesystem::path recordPath(const std::string& user) {
    return directory() / (user + ".record");
  }

  // The record of user, or nullopt when there is none or it does not parse.
  static std::optional<Record> readRecord(const std::string& user) {
    std::ifstream in(recordPath(user), std::ios::binary);
    if (!in) {
      return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parseRecord(text);
  }

  // Polls for the record; the bound is generous, for slow and sanitized runs.
  static std::optional<Record> waitForRecord(
      const std::string& user, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      if (auto record = readRecord(user)) {
        return record;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  static std::optional<Record> parseRecord(const std::string& text) {
    Record record;
    std::size_t at = 0;
    const auto word = [&]() -> std::string {
      const auto blank = text.find(' ', at);
      if (blank == std::string::npos) {
        return {};
      }
      std::string result = text.substr(at, blank - at);
      at = blank + 1;
      return result;
    };
    const auto counted = [&]() -> std::optional<std::string> {
      const auto colon = text.find(':', at);
      if (colon == std::string::npos) {
        return std::nullopt;
      }
      std::size_t length = 0;
      try {
        length = std::stoul(text.substr(at, colon - at));
      } catch (...) {
        return std::nullopt;
      }
      if (colon + 1 + length + 1 > text.size() || text[colon + 1 + length] != '\n') {
        return std::nullopt;
      }
      std::string value = text.substr(colon + 1, length);
      at = colon + 1 + length + 1;
      return value;
    };
    const auto restOfLine = [&]() -> std::string {
      const auto newline = text.find('\n', at);
      const auto end = newline == std::string::npos ? text.size() : newline;
      std::string result = text.substr(at, end - at);
      at = end == text.size() ? end : end + 1;
      return result;
    };
    if (word() != "pid") {
      return std::nullopt;
    }
    record.pid = std::atoi(restOfLine().c_str());
    for (;;) {
      if (text.compare(at, 4, "end\n") == 0) {
        return record;
      }
      const std::string key = word();
      if (key == "arg" || key == "env") {
        auto value = counted();
        if (!value) {
          return std::nullopt;
        }
        (key == "arg" ? record.arguments : record.environment).push_back(std::move(*value));
      } else if (key == "stdin") {
        const std::string digits = restOfLine();
        if (digits.size() % 2 != 0) {
          return std::nullopt;
        }
        for (std::size_t i = 0; i < digits.size(); i += 2) {
          record.standardInput.push_back(
              static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
        }
      } else {
        return std::nullopt;
      }
    }
  }
};

}  // namespace vantreel::testing
