// What the daemon costs a caller, next to the floors it cannot go below, measured in one run:
//
//   Vantreel floors            a bare SOCK_SEQPACKET request/reply between two processes, the
//                              SHA-256 of each caller's file, one signature + chain check
//   Vantreel status            status on a long-lived connection, from a fresh control tool and
//                              from a fresh signed client, with the daemon's CPU per call
//   Vantreel load              status with 63 other connections open
//   Vantreel idle [SECONDS]    the daemon with no client: wake-ups, threads, resident memory
//   Vantreel relay [LINES]     OpenConnect's lines to the control tool's output, against cat
//
// Run as root from the signed bench bundle (it is the bundle's desktop app, so the daemon admits
// it); each command starts a daemon of that bundle of its own on a private service directory.
// Figures are medians. Not a test: nothing here passes or fails on a figure.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/codesign/cms_signature.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/embedded_signature.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/codesign/trust_anchors.hpp"
#include "platform/posix/io.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/process/pipe.hpp"
#include "platform/process/task.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/constants.hpp"
#include "shared/helper_client_dispatcher.hpp"
#include "shared/helper_client_protocol.hpp"
#include "shared/helper_xpc_protocol.hpp"
#include "shared/helper_xpc_proxy.hpp"
#include "tests/fakes/fake_openconnect_control.hpp"

namespace {

namespace fs = std::filesystem;
namespace cs = vantreel::platform::codesign;
namespace process = vantreel::platform::process;
using Clock = std::chrono::steady_clock;
using vantreel::platform::xpc::Connection;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double threadCpuMs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
  return values[std::min(at, values.size() - 1)];
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  std::string five;
  std::string fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string fixed(double value) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

void row(const std::string& label, double value, const std::string& unit,
         const std::string& note = "") {
  std::printf("  %-52s %12.3f %-6s %s\n", label.c_str(), value, unit.c_str(), note.c_str());
}

void heading(const std::string& what) {
  std::printf("%s (load average %s)\n", what.c_str(), loadAverage().c_str());
}

// Where this program runs: Contents/MacOS/Vantreel inside the bench bundle.
fs::path bundlePath() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path();
}

fs::path controlTool() { return bundlePath() / "Contents/MacOS/vantreel-helperctl"; }

// Total CPU time of a process, all its threads (ended ones included), in milliseconds.
double cpuMs(int pid) {
  clockid_t clock{};
  timespec now{};
  if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &now) != 0) {
    return 0;
  }
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The file of a process's /proc/<pid>/status, as name -> value.
std::map<std::string, std::string> procStatus(const fs::path& file) {
  std::map<std::string, std::string> fields;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
      const auto value = line.find_first_not_of(" \t", colon + 1);
      fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
  }
  return fields;
}

struct ProcessFigures {
  long threads = 0;
  double rssMiB = 0;
  double anonMiB = 0;  // of rssMiB, what is the process's own (heap, stacks)
  double pssMiB = 0;   // shared pages counted by the share of each process
  long switches = 0;   // voluntary + involuntary, summed over the live threads
};

ProcessFigures figuresOf(int pid) {
  ProcessFigures figures;
  const fs::path proc = "/proc/" + std::to_string(pid);
  auto status = procStatus(proc / "status");
  figures.threads = std::atol(status["Threads"].c_str());
  figures.rssMiB = std::atof(status["VmRSS"].c_str()) / 1024.0;
  figures.anonMiB = std::atof(status["RssAnon"].c_str()) / 1024.0;
  figures.pssMiB = std::atof(procStatus(proc / "smaps_rollup")["Pss"].c_str()) / 1024.0;
  std::error_code error;
  for (const auto& task : fs::directory_iterator(proc / "task", error)) {
    auto each = procStatus(task.path() / "status");
    figures.switches += std::atol(each["voluntary_ctxt_switches"].c_str()) +
                        std::atol(each["nonvoluntary_ctxt_switches"].c_str());
  }
  return figures;
}

// A daemon of the bench bundle on a service directory of its own; its log goes to a file.
class Daemon {
 public:
  Daemon() {
    std::string pattern = (fs::temp_directory_path() / "vt-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    directory_ = pattern;
    // The bench's own clients and the programs it starts find this daemon through it; nothing
    // reads the environment on another thread meanwhile.
    ::setenv("VANTREEL_SERVICE_DIR", directory_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    auto logFd = vantreel::platform::posix::openFile((directory_ / "daemon.log").string(),
                                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    task_ = process::Task::create();
    task_->setExecutable(
        (bundlePath() / "Contents/Library/LaunchDaemons/org.vantreel.desktop.helper").string());
    std::map<std::string, std::string> environment{{"VANTREEL_SERVICE_DIR", directory_.string()},
                                                   {"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}};
    // Lets a run try the C library's allocator settings on the daemon.
    if (const char* tunables = std::getenv("GLIBC_TUNABLES")) {  // NOLINT(concurrency-mt-unsafe)
      environment["GLIBC_TUNABLES"] = tunables;
    }
    task_->setEnvironment(environment);
    if (logFd) {
      task_->setStandardError(std::make_shared<process::FileHandle>(std::move(*logFd)));
    }
    if (auto launched = task_->launch(); !launched) {
      throw std::runtime_error(launched.error());
    }
    const auto socket = directory_ / std::string(vantreel::Constants::machService);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!fs::exists(socket)) {
      if (Clock::now() > deadline || !task_->isRunning()) {
        throw std::runtime_error("the daemon did not come up; see " + directory_.string());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~Daemon() {
    task_->terminate();
    if (!task_->waitUntilExit(std::chrono::seconds(10))) {
      task_->kill();
      task_->waitUntilExit();
    }
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  [[nodiscard]] int pid() const { return task_->processIdentifier(); }

 private:
  fs::path directory_;
  std::shared_ptr<process::Task> task_;
};

class Lines final : public vantreel::HelperClientProtocol {
 public:
  void appendLog(std::string /*line*/) override {}
};

// A signed client's connection, with calls made synchronous.
class Client {
 public:
  Client()
      : connection_(Connection::machService(std::string(vantreel::Constants::machService),
                                            Connection::privileged)) {
    connection_->setRemoteObjectInterface(vantreel::HelperXPCProtocol::makeInterface());
    connection_->setExportedInterface(vantreel::HelperClientProtocol::makeInterface());
    connection_->setExportedObject(
        std::make_shared<vantreel::HelperClientDispatcher>(std::make_shared<Lines>()));
    connection_->resume();
  }
  ~Client() { connection_->invalidate(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool status() {
    auto done = std::make_shared<std::promise<bool>>();
    proxy(done).statusWithReply(
        [done](const vantreel::HelperOpResult& result) { done->set_value(result.ok()); });
    return done->get_future().get();
  }

  bool version() {
    auto done = std::make_shared<std::promise<bool>>();
    proxy(done).getVersionWithReply([done](const std::string&) { done->set_value(true); });
    return done->get_future().get();
  }

 private:
  vantreel::HelperXPCProxy proxy(const std::shared_ptr<std::promise<bool>>& done) {
    return vantreel::HelperXPCProxy(
        connection_, [done](const vantreel::platform::xpc::Error&) { done->set_value(false); });
  }

  std::shared_ptr<Connection> connection_;
};

// Runs a program to its end with standard output and error on the null device; milliseconds.
double runToExit(const std::string& program, const std::vector<std::string>& arguments,
                 int* status = nullptr) {
  auto task = process::Task::create();
  task->setExecutable(program);
  task->setArguments(arguments);
  auto null = process::FileHandle::fileHandleWithNullDevice();
  if (null) {
    task->setStandardInput(*null);
    task->setStandardOutput(*null);
    task->setStandardError(*null);
  }
  const auto start = Clock::now();
  if (auto launched = task->launch(); !launched) {
    throw std::runtime_error(launched.error());
  }
  task->waitUntilExit();
  const double elapsed = msSince(start);
  if (status != nullptr) {
    *status = task->terminationStatus();
  }
  return elapsed;
}

// --- floors -------------------------------------------------------------------------------

// A bare request/reply over SOCK_SEQPACKET between two processes, frames the size of a status
// call and its reply.
double seqpacketRoundTripMs(int rounds) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pair[0]);
    char buffer[512];
    const std::string reply(160, 'r');
    for (;;) {
      if (::recv(pair[1], buffer, sizeof buffer, 0) <= 0 ||
          ::send(pair[1], reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
        std::_Exit(0);
      }
    }
  }
  ::close(pair[1]);
  const std::string request(48, 'q');
  char buffer[512];
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (::send(pair[0], request.data(), request.size(), MSG_NOSIGNAL) < 0 ||
        ::recv(pair[0], buffer, sizeof buffer, 0) <= 0) {
      break;
    }
    times.push_back(msSince(start));
  }
  ::close(pair[0]);
  ::waitpid(child, nullptr, 0);
  return median(times);
}

struct SignedFile {
  std::uint64_t fileSize = 0;
  std::uint64_t contentSize = 0;
  std::vector<std::uint8_t> signature;
};

SignedFile readSigned(const fs::path& path) {
  SignedFile out;
  auto fd = cs::file_access::openForReading(path.string());
  if (!fd) {
    throw std::runtime_error("open " + path.string());
  }
  const auto status = cs::file_access::status(fd->get());
  out.fileSize = status ? status->size : 0;
  std::vector<std::uint8_t> tail(cs::EmbeddedSignature::kTrailerSize);
  if (out.fileSize < tail.size() ||
      !cs::file_access::readAt(fd->get(), out.fileSize - tail.size(), tail)) {
    throw std::runtime_error("unsigned: " + path.string());
  }
  const auto layout = cs::EmbeddedSignature::locate(out.fileSize, tail);
  if (!layout) {
    throw std::runtime_error("unsigned: " + path.string());
  }
  out.contentSize = layout->contentSize;
  out.signature.resize(layout->signatureSize);
  if (!cs::file_access::readAt(fd->get(), layout->contentSize, out.signature)) {
    throw std::runtime_error("read " + path.string());
  }
  return out;
}

// Medians of wall and CPU time, in milliseconds.
struct Cost {
  double wall = 0;
  double cpu = 0;
};

Cost costOf(std::vector<double> wall, std::vector<double> cpu) {
  return {median(std::move(wall)), median(std::move(cpu))};
}

// SHA-256 of a file's signed bytes, read as the daemon reads them (256 KiB at a time).
Cost hashCost(const fs::path& path, std::uint64_t size, int rounds) {
  std::vector<double> times;
  std::vector<double> cpu;
  std::vector<std::uint8_t> buffer(std::size_t{256} * 1024);
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    const double cpuStart = threadCpuMs();
    auto fd = cs::file_access::openForReading(path.string());
    cs::Sha256 hash;
    for (std::uint64_t offset = 0; fd && offset < size;) {
      const auto chunk =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
      if (!cs::file_access::readAt(fd->get(), offset, std::span(buffer).first(chunk))) {
        break;
      }
      hash.update(std::span(buffer).first(chunk));
      offset += chunk;
    }
    [[maybe_unused]] const auto digest = hash.finish();
    times.push_back(msSince(start));
    cpu.push_back(threadCpuMs() - cpuStart);
  }
  return costOf(times, cpu);
}

Cost verifyCost(const std::vector<std::uint8_t>& signature, int rounds) {
  std::vector<double> times;
  std::vector<double> cpu;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    const double cpuStart = threadCpuMs();
    const auto verified = cs::CmsSignature::verify(signature, cs::TrustAnchors::embedded());
    times.push_back(msSince(start));
    cpu.push_back(threadCpuMs() - cpuStart);
    if (!verified || !verified->anchored) {
      throw std::runtime_error("the bench bundle's signature does not verify");
    }
  }
  return costOf(times, cpu);
}

// A whole static check of a file (open, signature, chain, hash, requirement), in-process.
double staticCheckMs(const fs::path& path, int rounds) {
  auto& security = cs::CodeSigning::real();
  const auto requirement = security.SecRequirementCreateWithString(
      vantreel::Constants::codeSigningRequirement(), cs::kSecCSDefaultFlags);
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    auto code = security.SecStaticCodeCreateWithPath(path.string(), cs::kSecCSDefaultFlags);
    const bool valid = code && requirement &&
                       security.SecStaticCodeCheckValidity(*code, cs::kSecCSDefaultFlags,
                                                           *requirement) == cs::errSecSuccess;
    times.push_back(msSince(start));
    if (!valid) {
      throw std::runtime_error("does not satisfy the requirement: " + path.string());
    }
  }
  return median(times);
}

struct Floors {
  double roundTrip = 0;
  Cost appHash;
  Cost ctlHash;
  Cost verify;
  double appCheck = 0;
  double ctlCheck = 0;
  double ctlVersion = 0;  // a fresh control tool that contacts nothing
};

Floors measureFloors(bool print) {
  Floors f;
  const auto app = bundlePath() / "Contents/MacOS/Vantreel";
  const auto ctl = controlTool();
  const auto appFile = readSigned(app);
  const auto ctlFile = readSigned(ctl);
  f.roundTrip = seqpacketRoundTripMs(2000);
  f.appHash = hashCost(app, appFile.contentSize, 31);
  f.ctlHash = hashCost(ctl, ctlFile.contentSize, 31);
  f.verify = verifyCost(appFile.signature, 101);
  f.appCheck = staticCheckMs(app, 31);
  f.ctlCheck = staticCheckMs(ctl, 31);
  std::vector<double> version;
  version.reserve(21);
  for (int i = 0; i < 21; ++i) {
    version.push_back(runToExit(ctl.string(), {"version"}));
  }
  f.ctlVersion = median(version);
  if (print) {
    heading("floors");
    row("SOCK_SEQPACKET request/reply, two processes", f.roundTrip, "ms");
    const auto cpu = [](const Cost& c) { return "CPU " + fixed(c.cpu) + " ms"; };
    row("SHA-256 of the bench client (" + std::to_string(appFile.contentSize) + " bytes)",
        f.appHash.wall, "ms", cpu(f.appHash));
    row("SHA-256 of the control tool (" + std::to_string(ctlFile.contentSize) + " bytes)",
        f.ctlHash.wall, "ms", cpu(f.ctlHash));
    row("one signature + chain verification", f.verify.wall, "ms", cpu(f.verify));
    row("whole static check of the bench client, in-process", f.appCheck, "ms");
    row("whole static check of the control tool, in-process", f.ctlCheck, "ms");
    row("fresh control tool, `version` (contacts nothing)", f.ctlVersion, "ms");
  }
  return f;
}

// --- status and load ----------------------------------------------------------------------

struct CallFigures {
  double latency = 0;  // median wall time per call, ms
  double p90 = 0;
  double daemonCpu = 0;  // daemon CPU per call, ms
};

CallFigures statusCalls(Client& client, int pid, int calls) {
  for (int i = 0; i < 5; ++i) {
    (void)client.status();
  }
  std::vector<double> times;
  const double cpuBefore = cpuMs(pid);
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    if (!client.status()) {
      throw std::runtime_error("status failed");
    }
    times.push_back(msSince(start));
  }
  return {median(times), percentile(times, 0.9), (cpuMs(pid) - cpuBefore) / calls};
}

CallFigures freshProcesses(int pid, const std::string& program,
                           const std::vector<std::string>& arguments, int runs) {
  std::vector<double> times;
  const double cpuBefore = cpuMs(pid);
  for (int i = 0; i < runs; ++i) {
    int status = 0;
    times.push_back(runToExit(program, arguments, &status));
    if (status != 0) {
      throw std::runtime_error(program + " ended with status " + std::to_string(status));
    }
  }
  return {median(times), percentile(times, 0.9), (cpuMs(pid) - cpuBefore) / runs};
}

int statusCommand() {
  const auto f = measureFloors(true);
  Daemon daemon;
  // One check of a caller: its file's hash and one signature + chain verification. Wall time
  // for the latency models, CPU time for the daemon's share, which the load does not inflate.
  const double check = f.appHash.wall + f.verify.wall;
  const double checkCpu = f.appHash.cpu + f.verify.cpu;
  const double ctlCheck = f.ctlHash.wall + f.verify.wall;
  const double ctlCheckCpu = f.ctlHash.cpu + f.verify.cpu;

  heading("status through the daemon");
  // Long-lived connection, statusWithReply: the check before each message + the session's own.
  Client client;
  const auto longLived = statusCalls(client, daemon.pid(), 300);
  const double longModel = 2 * check + f.roundTrip;
  row("long-lived connection: status, wall", longLived.latency, "ms",
      "p90 " + fixed(longLived.p90));
  row("  model: 2 checks x (hash + verification) + round trip", longModel, "ms");
  row("  wall / model (goal <= 1.5)", longLived.latency / longModel, "x");
  row("  daemon CPU per call", longLived.daemonCpu, "ms");
  row("  daemon CPU / (2 checks' CPU)", longLived.daemonCpu / (2 * checkCpu), "x");

  // A fresh control tool: `status` is one getVersion, admitted (one check) and checked as a
  // message (a second); the process's own start is the version floor.
  const auto cli = freshProcesses(daemon.pid(), controlTool().string(), {"status"}, 31);
  const double cliModel = f.ctlVersion + 2 * ctlCheck + f.roundTrip;
  row("fresh `vantreel-helperctl status`, wall", cli.latency, "ms", "p90 " + fixed(cli.p90));
  row("  model: tool start + 2 checks + round trip", cliModel, "ms");
  row("  wall / model (goal <= 1.5)", cli.latency / cliModel, "x");
  row("  daemon CPU per call", cli.daemonCpu, "ms");
  row("  daemon CPU / (2 checks' CPU)", cli.daemonCpu / (2 * ctlCheckCpu), "x");

  // A fresh signed client calling statusWithReply: admission, message check, session check.
  const auto self = fs::read_symlink("/proc/self/exe").string();
  const auto once = freshProcesses(daemon.pid(), self, {"once"}, 31);
  std::vector<double> startOnly;
  startOnly.reserve(21);
  for (int i = 0; i < 21; ++i) {
    startOnly.push_back(runToExit(self, {"nothing"}));
  }
  const double onceModel = median(startOnly) + 3 * check + f.roundTrip;
  row("fresh signed client, one statusWithReply, wall", once.latency, "ms",
      "p90 " + fixed(once.p90));
  row("  model: client start + 3 checks + round trip", onceModel, "ms");
  row("  wall / model (goal <= 1.5)", once.latency / onceModel, "x");
  row("  daemon CPU per call", once.daemonCpu, "ms");
  row("  daemon CPU / (3 checks' CPU)", once.daemonCpu / (3 * checkCpu), "x");
  return 0;
}

int loadCommand() {
  Daemon daemon;
  Client client;
  heading("load");
  const auto alone = statusCalls(client, daemon.pid(), 200);
  std::vector<std::unique_ptr<Client>> others;
  int admitted = 0;
  for (int i = 0; i < 63; ++i) {
    others.push_back(std::make_unique<Client>());
    admitted += others.back()->version() ? 1 : 0;
  }
  const auto loaded = statusCalls(client, daemon.pid(), 200);
  const auto figures = figuresOf(daemon.pid());
  row("status, no other connection", alone.latency, "ms", "p90 " + fixed(alone.p90));
  row("status, " + std::to_string(admitted) + " other connections open", loaded.latency, "ms",
      "p90 " + fixed(loaded.p90));
  row("  daemon CPU per call", loaded.daemonCpu, "ms");
  row("  daemon threads with 64 connections", static_cast<double>(figures.threads), "");
  row("  daemon resident memory with 64 connections", figures.rssMiB, "MiB");
  return admitted == 63 ? 0 : 1;
}

// --- idle ---------------------------------------------------------------------------------

int idleCommand(int seconds) {
  Daemon daemon;
  heading("idle");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto fresh = figuresOf(daemon.pid());
  row("fresh daemon: threads", static_cast<double>(fresh.threads), "");
  row("fresh daemon: resident memory", fresh.rssMiB, "MiB", "goal <= 8");
  row("  of it anonymous (heap, stacks)", fresh.anonMiB, "MiB");
  row("  proportional (shared pages by share)", fresh.pssMiB, "MiB");
  {
    // Clients come and go first, so that what they leave behind is measured too.
    Client client;
    (void)statusCalls(client, daemon.pid(), 20);
    std::vector<std::unique_ptr<Client>> others;
    for (int i = 0; i < 63; ++i) {
      others.push_back(std::make_unique<Client>());
      (void)others.back()->version();
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const auto before = figuresOf(daemon.pid());
  const double cpuBefore = cpuMs(daemon.pid());
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto after = figuresOf(daemon.pid());
  const double cpu = cpuMs(daemon.pid()) - cpuBefore;
  row("after 64 clients left, " + std::to_string(seconds) + " s with none: wake-ups",
      static_cast<double>(after.switches - before.switches) / seconds, "/s", "goal 0");
  row("  daemon CPU over the window", cpu, "ms");
  row("  threads", static_cast<double>(after.threads), "");
  row("  resident memory", after.rssMiB, "MiB", "goal <= 8");
  row("  of it anonymous (heap, stacks)", after.anonMiB, "MiB");
  row("  proportional (shared pages by share)", after.pssMiB, "MiB");
  return 0;
}

// --- relay --------------------------------------------------------------------------------

struct Relay {
  double ms = 0;        // from launch to the end of the output
  double spreadMs = 0;  // from the first line to the last
  long lines = 0;       // lines of the scenario seen, in order
  bool inOrder = true;
};

// Reads a process's standard output to its end, counting the scenario's numbered lines.
Relay readLines(const std::shared_ptr<process::FileHandle>& output, Clock::time_point start,
                long expected) {
  Relay relay;
  std::string pending;
  std::optional<Clock::time_point> first;
  Clock::time_point last = start;
  for (;;) {
    auto data = output->availableData();
    if (!data || data->empty()) {
      break;
    }
    pending += *data;
    std::size_t begin = 0;
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', begin)) {
      const std::string_view line(pending.data() + begin, end - begin);
      begin = end + 1;
      if (!line.starts_with("relay ")) {
        continue;
      }
      if (!first) {
        first = Clock::now();
      }
      last = Clock::now();
      const long number = std::atol(std::string(line.substr(6, 8)).c_str());
      relay.inOrder = relay.inOrder && number == relay.lines;
      ++relay.lines;
    }
    pending.erase(0, begin);
  }
  relay.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  relay.spreadMs = first ? std::chrono::duration<double, std::milli>(last - *first).count() : 0;
  relay.inOrder = relay.inOrder && relay.lines == expected;
  return relay;
}

int relayCommand(long count) {
  using vantreel::testing::FakeOpenConnect;
  const std::string user = "bench-relay-" + std::to_string(::getpid());
  FakeOpenConnect::Scenario scenario;
  for (long i = 0; i < count; ++i) {
    char line[96];
    (void)std::snprintf(line, sizeof line,
                        "relay %08ld ESP session established with server, DTLS MTU 1400 keepalive",
                        i);
    scenario.out(line);
  }
  scenario.exit(0);
  const auto file = FakeOpenConnect::directory() / (user + ".scenario");
  std::ofstream(file) << scenario.text();

  heading("relay of " + std::to_string(count) + " lines");
  // The floor: the stand-in itself, its output through cat.
  Relay floor;
  {
    auto shell = process::Task::create();
    auto output = process::Pipe::make();
    auto null = process::FileHandle::fileHandleWithNullDevice();
    shell->setExecutable("/bin/sh");
    shell->setArguments({"-c", "\"$0\" --user \"$1\" </dev/null | cat",
                         FakeOpenConnect::executable().string(), user});
    shell->setStandardOutput(*output);
    if (null) {
      shell->setStandardError(*null);
    }
    const auto start = Clock::now();
    if (auto launched = shell->launch(); !launched) {
      throw std::runtime_error(launched.error());
    }
    floor = readLines(output->fileHandleForReading(), start, count);
    shell->waitUntilExit();
  }

  Relay through;
  double daemonCpu = 0;
  {
    Daemon daemon;
    auto tool = process::Task::create();
    auto input = process::Pipe::make();
    auto output = process::Pipe::make();
    auto null = process::FileHandle::fileHandleWithNullDevice();
    tool->setExecutable(controlTool().string());
    tool->setArguments({"connect", "--server", "vpn.example.com", "--user", user});
    tool->setStandardInput(*input);
    tool->setStandardOutput(*output);
    if (null) {
      tool->setStandardError(*null);
    }
    (void)input->fileHandleForWriting()->writeData("secret\n");
    const double cpuBefore = cpuMs(daemon.pid());
    const auto start = Clock::now();
    if (auto launched = tool->launch(); !launched) {
      throw std::runtime_error(launched.error());
    }
    through = readLines(output->fileHandleForReading(), start, count);
    tool->waitUntilExit();
    daemonCpu = cpuMs(daemon.pid()) - cpuBefore;
  }
  std::error_code ignored;
  fs::remove(file, ignored);
  fs::remove(FakeOpenConnect::directory() / (user + ".record"), ignored);

  const auto perSecond = [count](const Relay& r) {
    return r.spreadMs > 0 ? static_cast<double>(count) / (r.spreadMs / 1e3) : 0;
  };
  row("stand-in | cat: lines per second (first to last line)", perSecond(floor), "/s",
      std::to_string(floor.lines) + " lines" + (floor.inOrder ? "" : ", LOST OR REORDERED"));
  row("  launch to end of output", floor.ms, "ms");
  row("through daemon and control tool: lines per second", perSecond(through), "/s",
      std::to_string(through.lines) + " lines" + (through.inOrder ? "" : ", LOST OR REORDERED"));
  row("  launch to end of output", through.ms, "ms");
  row("  daemon CPU per line", daemonCpu * 1e3 / static_cast<double>(count), "us");
  row("  lines lost", static_cast<double>(count - through.lines), "");
  return through.inOrder ? 0 : 1;
}

int onceCommand() {
  Client client;
  return client.status() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "floors") {
      (void)measureFloors(true);
      return 0;
    }
    if (command == "status") {
      return statusCommand();
    }
    if (command == "load") {
      return loadCommand();
    }
    if (command == "idle") {
      return idleCommand(argc > 2 ? std::atoi(argv[2]) : 60);
    }
    if (command == "relay") {
      return relayCommand(argc > 2 ? std::atol(argv[2]) : 20000);
    }
    if (command == "once") {
      return onceCommand();
    }
    if (command == "nothing") {
      return 0;
    }
  } catch (const std::exception& failure) {
    std::cerr << "bench: " << failure.what() << "\n";
    return 1;
  }
  std::cerr << "usage: Vantreel floors|status|load|idle [SECONDS]|relay [LINES]\n";
  return 2;
}
