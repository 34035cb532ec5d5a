// A client of the helper daemon for integration tests, run signed from inside a test bundle
// (or unsigned, or under a wrong identifier). It reads one command per line on standard input
// and writes one JSON object per line on standard output, for every reply, error and appendLog:
// line as it arrives:
//   version | status | stop              one call on the main connection
//   start <user> <server> <password>      a start whose password pipe carries "<password>\n";
//                                         the password "-" sends a pipe closed without a byte
//   startheld <user> <server>             a start whose password pipe stays open and empty...
//   feed <password>                       ...until this writes "<password>\n" and closes it
//   hold <n>                              opens n more connections, one version call on each
//   pile <n>                              as hold, then a status call on each, unanswered, and
//                                         then closes them all at once
//   release                               closes the connections of hold
//   close                                 invalidates the main connection
//   exit                                  ends the process at once, closing nothing itself
// The process also ends at once when standard input ends.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process/pipe.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/constants.hpp"
#include "shared/helper_client_dispatcher.hpp"
#include "shared/helper_client_protocol.hpp"
#include "shared/helper_xpc_protocol.hpp"
#include "shared/helper_xpc_proxy.hpp"

namespace {

using nlohmann::json;
using vantreel::HelperOpResult;
using vantreel::platform::xpc::Connection;

std::mutex gOutput;  // one line at a time on standard output

void emit(const json& event) {
  const std::string line = event.dump(-1, ' ', false, json::error_handler_t::replace);
  std::scoped_lock lock(gOutput);
  std::cout << line << std::endl;
}

json describe(const std::string& op, const HelperOpResult& result) {
  return json{{"op", op},
              {"ok", result.ok()},
              {"code", result.code()},
              {"message", result.message()},
              {"state", result.state()},
              {"version", result.version()},
              {"pid", result.pid()}};
}

class Lines final : public vantreel::HelperClientProtocol {
 public:
  void appendLog(std::string line) override { emit(json{{"op", "log"}, {"line", line}}); }
};

std::shared_ptr<Connection> connect() {
  auto connection = Connection::machService(std::string(vantreel::Constants::machService),
                                            Connection::privileged);
  connection->setRemoteObjectInterface(vantreel::HelperXPCProtocol::makeInterface());
  connection->setExportedInterface(vantreel::HelperClientProtocol::makeInterface());
  connection->setExportedObject(
      std::make_shared<vantreel::HelperClientDispatcher>(std::make_shared<Lines>()));
  connection->resume();
  return connection;
}

vantreel::HelperXPCProxy proxyFor(const std::shared_ptr<Connection>& connection,
                                  const std::string& op) {
  return vantreel::HelperXPCProxy(connection, [op](const vantreel::platform::xpc::Error& error) {
    emit(json{{"op", op}, {"error", error.description()}});
  });
}

// Write ends of password pipes that startheld keeps open, until feed or the end of the process.
std::vector<std::shared_ptr<vantreel::platform::process::FileHandle>> gKeptOpen;

void start(const std::shared_ptr<Connection>& connection, const std::string& user,
           const std::string& server, const std::string& password, bool keepOpen = false) {
  auto pipe = vantreel::platform::process::Pipe::make();
  if (!pipe) {
    emit(json{{"op", "start"}, {"error", "pipe: " + pipe.error().description()}});
    return;
  }
  if (keepOpen) {
    gKeptOpen.push_back(pipe->fileHandleForWriting());
  } else {
    if (password != "-") {
      (void)pipe->fileHandleForWriting()->writeData(password + "\n");
    }
    (void)pipe->fileHandleForWriting()->close();
  }
  proxyFor(connection, "start")
      .start(vantreel::HelperStartRequest(server, user, std::nullopt), pipe->fileHandleForReading(),
             [](const HelperOpResult& result) { emit(describe("start", result)); });
}

void feed(const std::string& password) {
  if (!gKeptOpen.empty()) {
    (void)gKeptOpen.back()->writeData(password + "\n");
    (void)gKeptOpen.back()->close();
    gKeptOpen.pop_back();
  }
  emit(json{{"op", "feed"}});
}

// Each version call is awaited, so connections are opened one after another.
void hold(std::vector<std::shared_ptr<Connection>>& held, int count) {
  int ok = 0;
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    auto connection = connect();
    auto done = std::make_shared<std::promise<bool>>();
    vantreel::HelperXPCProxy(connection, [done](const vantreel::platform::xpc::Error&) {
      done->set_value(false);
    }).getVersionWithReply([done](const std::string&) { done->set_value(true); });
    (done->get_future().get() ? ok : failed) += 1;
    held.push_back(std::move(connection));
  }
  emit(json{{"op", "hold"}, {"ok", ok}, {"failed", failed}});
}

void serve() {
  auto connection = connect();
  std::vector<std::shared_ptr<Connection>> held;
  emit(json{{"op", "ready"}, {"pid", ::getpid()}});

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "version") {
      proxyFor(connection, "version").getVersionWithReply([](const std::string& version) {
        emit(json{{"op", "version"}, {"version", version}});
      });
    } else if (command == "status") {
      proxyFor(connection, "status").statusWithReply([](const HelperOpResult& result) {
        emit(describe("status", result));
      });
    } else if (command == "stop") {
      proxyFor(connection, "stop").stopWithReply([](const HelperOpResult& result) {
        emit(describe("stop", result));
      });
    } else if (command == "start") {
      std::string user;
      std::string server;
      std::string password;
      words >> user >> server >> password;
      start(connection, user, server, password);
    } else if (command == "startheld") {
      std::string user;
      std::string server;
      words >> user >> server;
      start(connection, user, server, "", true);
    } else if (command == "feed") {
      std::string password;
      words >> password;
      feed(password);
    } else if (command == "hold") {
      int count = 0;
      words >> count;
      hold(held, count);
    } else if (command == "pile") {
      int count = 0;
      words >> count;
      std::vector<std::shared_ptr<Connection>> piled;
      hold(piled, count);
      for (auto& each : piled) {
        vantreel::HelperXPCProxy(each, [](const vantreel::platform::xpc::Error&) {
        }).statusWithReply([](const HelperOpResult&) {});
      }
      for (auto& each : piled) {
        each->invalidate();
      }
      emit(json{{"op", "pile"}});
    } else if (command == "release") {
      for (auto& each : held) {
        each->invalidate();
      }
      held.clear();
      emit(json{{"op", "release"}});
    } else if (command == "close") {
      connection->invalidate();
      emit(json{{"op", "close"}});
    } else if (command == "exit") {
      return;
    } else {
      emit(json{{"op", "unknown"}, {"command", command}});
    }
  }
}

}  // namespace

int main() {
  int status = 0;
  try {
    serve();
  } catch (const std::exception& e) {
    std::cerr << "test client: " << e.what() << std::endl;
    status = 1;
  }
  // Abruptly: no connection is closed by us, the kernel drops them with the process.
  (void)std::fflush(stdout);
  std::_Exit(status);
}
