#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

namespace vantreel::platform::xpc {
namespace {

using namespace std::chrono_literals;
using Json = ArchivedObject;
constexpr auto kGenerous = 20s;

template <class... T>
std::vector<Value> values(T&&... v) {
  std::vector<Value> out;
  (out.emplace_back(std::forward<T>(v)), ...);
  return out;
}

ProtocolDescription serviceProtocol() {
  using K = ValueKind;
  return {"TestServiceProtocol",
          {{"echo:withReply:", {K::string}, std::vector{K::string}, {}, {}},
           {"block:withReply:", {K::string}, std::vector{K::string}, {}, {}},
           {"read:withReply:", {K::fileDescriptor}, std::vector{K::string}, {}, {}},
           {"record:withReply:",
            {K::object},
            std::vector{K::int64},
            {{0, {"VTRecord", "VTOther"}}},
            {}},
           {"drop:withReply:", {}, std::vector{K::string}, {}, {}},
           {"note:", {K::string}, std::nullopt, {}, {}}}};
}

Interface serviceInterface() {
  auto interface = Interface::withProtocol(serviceProtocol());
  interface.setClasses({"VTRecord"}, "record:withReply:", 0, false);
  return interface;
}

std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

// A latch that a test releases by hand.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  void release() {
    {
      std::scoped_lock lock(mutex);
      open = true;
    }
    cv.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, kGenerous, [&] { return open; });
  }
};

class Service final : public ExportedObject {
 public:
  void dispatch(const std::string& selector, std::vector<Value> arguments, Reply reply) override {
    reached++;
    if (selector == "echo:withReply:") {
      reply.send(values(std::get<std::string>(arguments[0])));
    } else if (selector == "block:withReply:") {
      blocked.release();
      unblock.wait();
      reply.send(values(std::get<std::string>(arguments[0])));
    } else if (selector == "read:withReply:") {
      std::string text;
      std::byte buffer[64];
      const auto& fd = std::get<posix::UniqueFd>(arguments[0]);
      while (auto n = posix::readSome(fd.get(), buffer)) {
        if (*n == 0) break;
        text.append(reinterpret_cast<const char*>(buffer), *n);
      }
      reply.send(values(text));
    } else if (selector == "record:withReply:") {
      reply.send(
          values(std::int64_t{static_cast<std::int64_t>(std::get<Json>(arguments[0]).size())}));
    } else if (selector == "note:") {
      std::scoped_lock lock(mutex);
      notes.push_back(std::get<std::string>(arguments[0]));
    } else if (selector == "drop:withReply:") {
      std::scoped_lock lock(mutex);
      if (keep) {
        kept = std::move(reply);
      }
    }
  }

  std::atomic<int> reached{0};
  Gate blocked, unblock;
  std::mutex mutex;
  std::vector<std::string> notes;
  bool keep = false;
  Reply kept;
};

class Delegate final : public ListenerDelegate, public std::enable_shared_from_this<Delegate> {
 public:
  bool shouldAcceptNewConnection(Listener& /*listener*/,
                                 std::shared_ptr<Connection> connection) override {
    if (holdAdmission) {
      admissionReached.release();
      admissionGo.wait();
    }
    if (!admit) {
      return false;
    }
    if (requirement) {
      connection->setCodeSigningRequirement(*requirement);
    }
    connection->setExportedInterface(serviceInterface());
    connection->setExportedObject(service);
    connection->setInvalidationHandler([weak = weak_from_this()] {
      if (auto self = weak.lock()) {
        std::scoped_lock lock(self->mutex);
        ++self->invalidations;
        self->cv.notify_all();
      }
    });
    connection->resume();
    std::scoped_lock lock(mutex);
    connections.push_back(connection);
    return true;
  }

  bool waitInvalidations(int n) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, kGenerous, [&] { return invalidations >= n; });
  }

  std::shared_ptr<Service> service = std::make_shared<Service>();
  bool admit = true;
  bool holdAdmission = false;
  Gate admissionReached, admissionGo;
  std::optional<std::string> requirement;
  std::mutex mutex;
  std::condition_variable cv;
  int invalidations = 0;
  std::vector<std::shared_ptr<Connection>> connections;
};

struct Outcome {
  std::optional<std::vector<Value>> reply;
  std::optional<Error> error;
};

class TransportTest : public ::testing::Test {
 protected:
  static bool childRole() { return std::getenv("VT_XPC_UNPRIVILEGED_CHILD") != nullptr; }
  static void SetUpTestSuite() {
    if (childRole()) {
      dir_ = std::getenv("VANTREEL_SERVICE_DIR");  // the parent's
      return;
    }
    char pattern[] = "/tmp/vt-xpc-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::permissions(dir_, std::filesystem::perms::all);
    ASSERT_EQ(::setenv("VANTREEL_SERVICE_DIR", dir_.c_str(), 1), 0);
  }
  static void TearDownTestSuite() {
    if (!childRole()) std::filesystem::remove_all(dir_);
  }

  std::string startService(const std::string& name) {
    listener_ = std::make_unique<Listener>(name);
    listener_->setDelegate(delegate_);
    listener_->setRequirementCheck([this](const AuditToken& token, const std::string& req) {
      checks++;
      return token.pid() == ::getpid() && req == "good";
    });
    listener_->setRefusalHandler([this](std::int32_t, const std::string& why) {
      std::scoped_lock lock(refusalMutex_);
      refusals_.push_back(why);
    });
    EXPECT_TRUE(listener_->resume());
    return name;
  }

  std::shared_ptr<Connection> client(const std::string& name, std::uint64_t options = 0) {
    auto connection = Connection::machService(name, options);
    connection->setRemoteObjectInterface(serviceInterface());
    connection->resume();
    return connection;
  }

  // Sends one call; the returned future is fulfilled by whichever handler runs (and the counter
  // catches a second one).
  std::future<Outcome> call(const std::shared_ptr<Connection>& connection,
                            const std::string& selector, std::vector<Value> args,
                            std::shared_ptr<std::atomic<int>> calls = {}) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    if (!calls) calls = std::make_shared<std::atomic<int>>(0);
    auto proxy = connection->remoteObjectProxyWithErrorHandler([promise, calls](const Error& e) {
      if ((*calls)++ == 0) promise->set_value(Outcome{std::nullopt, e});
    });
    proxy.send(selector, std::move(args), [promise, calls](std::vector<Value> values) {
      if ((*calls)++ == 0) promise->set_value(Outcome{std::move(values), std::nullopt});
    });
    return promise->get_future();
  }

  static Outcome await(std::future<Outcome> f) {
    EXPECT_EQ(f.wait_for(kGenerous), std::future_status::ready);
    return f.get();
  }

  static std::string text(const Outcome& o) {
    return o.reply ? std::get<std::string>(o.reply->at(0)) : "error: " + o.error->description();
  }

  static std::string dir_;
  std::shared_ptr<Delegate> delegate_ = std::make_shared<Delegate>();
  std::atomic<int> checks{0};
  std::mutex refusalMutex_;
  std::vector<std::string> refusals_;
  std::unique_ptr<Listener> listener_;  // last: its threads use the members above
};
std::string TransportTest::dir_;

TEST_F(TransportTest, CallsAndOneWayMessagesArriveInOrder) {
  startService("order");
  auto c = client("order");
  std::vector<std::future<Outcome>> replies;
  for (int i = 0; i < 50; ++i) {
    c->remoteObjectProxy().send("note:", values(std::to_string(i)), {});
    replies.push_back(call(c, "echo:withReply:", values(std::to_string(i))));
  }
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(text(await(std::move(replies[i]))), std::to_string(i));
  }
  std::scoped_lock lock(delegate_->service->mutex);
  ASSERT_EQ(delegate_->service->notes.size(), 50U);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(delegate_->service->notes[i], std::to_string(i));
  EXPECT_GT(c->processIdentifier(), 0);
  ASSERT_TRUE(c->auditToken());
  EXPECT_EQ(c->auditToken()->uid(), 0U);
}

TEST_F(TransportTest, BlockedHandlerHoldsUpOnlyItsOwnConnection) {
  startService("parallel");
  auto a = client("parallel");
  auto b = client("parallel");
  auto blocked = call(a, "block:withReply:", values(std::string("a")));
  ASSERT_TRUE(delegate_->service->blocked.wait());
  EXPECT_EQ(text(await(call(b, "echo:withReply:", values(std::string("b"))))), "b");
  EXPECT_EQ(blocked.wait_for(0s), std::future_status::timeout);
  delegate_->service->unblock.release();
  EXPECT_EQ(text(await(std::move(blocked))), "a");
}

TEST_F(TransportTest, DescriptorArrivesOpenAndReadableAndRecordsRespectClassLists) {
  startService("fd");
  auto c = client("fd");
  auto pipe = posix::makePipe();
  ASSERT_TRUE(pipe);
  const std::string secret = "abc\n";
  ASSERT_TRUE(posix::writeAll(pipe->write.get(), std::as_bytes(std::span(secret))));
  pipe->write.reset();
  EXPECT_EQ(text(await(call(c, "read:withReply:", values(std::move(pipe->read))))), secret);

  const auto ok =
      await(call(c, "record:withReply:", values(Json{{"$class", "VTRecord"}, {"a", 1}})));
  ASSERT_TRUE(ok.reply);
  EXPECT_EQ(std::get<std::int64_t>(ok.reply->at(0)), 2);
  // Admitted by the protocol's declaration but narrowed away by the interface: refused before
  // it leaves.
  const auto narrowed = await(call(c, "record:withReply:", values(Json{{"$class", "VTOther"}})));
  ASSERT_TRUE(narrowed.error);
  EXPECT_EQ(narrowed.error->code(), Error::replyInvalid);
}

TEST_F(TransportTest, ExactlyOneHandlerPerCall) {
  startService("once");
  delegate_->service->keep = true;
  auto c = client("once");
  // A reply sent long after the caller stopped waiting still runs its handler, once.
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto late = call(c, "drop:withReply:", {}, calls);
  EXPECT_EQ(late.wait_for(200ms), std::future_status::timeout);
  {
    std::scoped_lock lock(delegate_->service->mutex);
    delegate_->service->kept.send(values(std::string("late")));
  }
  EXPECT_EQ(text(await(std::move(late))), "late");

  // A reply dropped unsent answers with an error.
  delegate_->service->keep = false;
  const auto dropped = await(call(c, "drop:withReply:", {}));
  ASSERT_TRUE(dropped.error);
  EXPECT_NE(dropped.error->description().find("no reply"), std::string::npos);

  // The service goes away mid-call: the pending call gets its error, then nothing more.
  auto calls2 = std::make_shared<std::atomic<int>>(0);
  auto midway = call(c, "block:withReply:", values(std::string("x")), calls2);
  ASSERT_TRUE(delegate_->service->blocked.wait());
  std::thread destroyer([&] { listener_.reset(); });
  const auto outcome = await(std::move(midway));
  EXPECT_TRUE(outcome.error);
  delegate_->service->unblock.release();
  destroyer.join();
  EXPECT_TRUE(delegate_->waitInvalidations(1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls->load(), 1);
  EXPECT_EQ(calls2->load(), 1);
  const auto after = await(call(c, "echo:withReply:", values(std::string("y"))));
  EXPECT_TRUE(after.error);
}

TEST_F(TransportTest, FailingRequirementNeverReachesTheExportedObject) {
  startService("req");
  delegate_->requirement = "bad";
  auto c = client("req");
  const auto outcome = await(call(c, "echo:withReply:", values(std::string("x"))));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(delegate_->service->reached.load(), 0);
  EXPECT_GE(checks.load(), 1);
  EXPECT_TRUE(delegate_->waitInvalidations(1));

  delegate_->requirement = "good";
  EXPECT_EQ(text(await(call(client("req"), "echo:withReply:", values(std::string("y"))))), "y");
}

TEST_F(TransportTest, RefusedConnectionGetsNothingThrough) {
  startService("refuse");
  delegate_->admit = false;
  auto c = client("refuse");
  const auto outcome = await(call(c, "echo:withReply:", values(std::string("x"))));
  ASSERT_TRUE(outcome.error);
  EXPECT_NE(outcome.error->description().find("refused by the service"), std::string::npos);
  EXPECT_EQ(delegate_->service->reached.load(), 0);
}

TEST_F(TransportTest, AbsentServiceFailsTheFirstCallWithItsPath) {
  auto c = client("absent", Connection::privileged);
  const auto outcome = await(call(c, "echo:withReply:", values(std::string("x"))));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->description(), "connect " + dir_ + "/absent: No such file or directory");
}

TEST_F(TransportTest, ConnectionCapRefusesTheSurplusAndReportsIt) {
  startService("cap");
  listener_->setMaximumConnections(1);
  auto first = client("cap");
  EXPECT_EQ(text(await(call(first, "echo:withReply:", values(std::string("1"))))), "1");
  auto second = client("cap");
  EXPECT_TRUE(await(call(second, "echo:withReply:", values(std::string("2")))).error);
  std::scoped_lock lock(refusalMutex_);
  ASSERT_EQ(refusals_.size(), 1U);
  EXPECT_NE(refusals_[0].find("1 connections are open already"), std::string::npos);
}

// A raw peer that speaks frames directly, to send what a well-behaved client never would.
struct RawPeer {
  posix::UniqueFd socket;
  explicit RawPeer(const std::string& path) {
    auto connected = seqpacket::connectTo(path);
    EXPECT_TRUE(connected);
    if (connected) socket = std::move(*connected);
  }
  bool welcomed() {
    auto d = seqpacket::receiveDatagram(socket.get());
    if (!d || d->endOfStream) return false;
    auto f = Frame::decode(d->bytes);
    return f && f->kind == Frame::Kind::welcome;
  }
  // Raw sendmsg: the transport's own wrapper would refuse to attach this many descriptors.
  void send(const std::vector<std::uint8_t>& bytes, const std::vector<int>& fds = {}) {
    iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (!fds.empty()) {
      message.msg_control = control.data();
      message.msg_controllen = control.size();
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
    }
    const auto sent = ::sendmsg(socket.get(), &message, MSG_NOSIGNAL);
    if (bytes.size() <= seqpacket::kMaxDatagram) {
      EXPECT_EQ(sent, static_cast<ssize_t>(bytes.size()));
    }
  }
  bool closedByPeer() {
    EXPECT_TRUE(posix::waitReadable(socket.get(), kGenerous).value_or(false));
    auto d = seqpacket::receiveDatagram(socket.get());
    return !d || d->endOfStream;
  }
};

TEST_F(TransportTest, ClientThatSendsBeforeTheWelcomeIsRefused) {
  startService("early");
  delegate_->holdAdmission = true;
  RawPeer raw(dir_ + "/early");
  raw.send(Frame{Frame::Kind::call, 0, "note:", Json::array({"sneak"})}.encode());
  ASSERT_TRUE(delegate_->admissionReached.wait());
  delegate_->admissionGo.release();
  EXPECT_TRUE(raw.closedByPeer());
  EXPECT_EQ(delegate_->service->reached.load(), 0);
  std::scoped_lock lock(refusalMutex_);
  ASSERT_EQ(refusals_.size(), 1U);
  EXPECT_NE(refusals_[0].find("before it was admitted"), std::string::npos);
}

TEST_F(TransportTest, HostileFramesInvalidateTheConnectionAndLeakNoDescriptor) {
  startService("hostile");
  const auto call = [](const std::string& sel, Json args, std::uint64_t id = 1) {
    return Frame{Frame::Kind::call, id, sel, std::move(args)}.encode();
  };
  struct Case {
    std::string what;
    std::vector<std::uint8_t> bytes;
    int descriptors = 0;
  };
  std::vector<Case> cases = {
      {"malformed", {0xa1, 0x61}},
      {"nested", std::vector<std::uint8_t>(60000, 0x81)},
      {"unknown selector", call("rm:", Json::array())},
      {"wrong arity", call("echo:withReply:", Json::array({"a", "b"}))},
      {"wrong type", call("echo:withReply:", Json::array({1}))},
      {"unadmitted class", call("record:withReply:", Json::array({Json{{"$class", "VTOther"}}}))},
      {"one-way with id", call("note:", Json::array({"a"}), 5)},
      {"missing descriptor", call("read:withReply:", Json::array({Json{{"$fd", 0}}}))},
      {"surplus descriptor", call("echo:withReply:", Json::array({"a"})), 1},
      {"too many descriptors", call("read:withReply:", Json::array({Json{{"$fd", 0}}})), 6},
      {"oversize", call("echo:withReply:", Json::array({std::string(70000, 'x')}))},
      {"unknown reply", Frame{Frame::Kind::reply, 9, {}, Json::array()}.encode()},
  };
  // Connections of earlier tests may still be closing on their own threads.
  auto before = openDescriptors();
  for (int settled = 0; settled < 5; ++settled) {
    std::this_thread::sleep_for(20ms);
    if (const auto now = openDescriptors(); now != before) {
      before = now;
      settled = 0;
    }
  }
  int ended = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    {
      RawPeer raw(dir_ + "/hostile");
      ASSERT_TRUE(raw.welcomed());
      std::vector<posix::UniqueFd> owned;
      std::vector<int> fds;
      for (int i = 0; i < c.descriptors; ++i) {
        auto pipe = posix::makePipe();
        ASSERT_TRUE(pipe);
        fds.push_back(pipe->read.get());
        owned.push_back(std::move(pipe->read));
      }
      raw.send(c.bytes, fds);
      EXPECT_TRUE(raw.closedByPeer());
    }
    EXPECT_TRUE(delegate_->waitInvalidations(++ended));
  }
  {
    std::scoped_lock lock(delegate_->mutex);
    delegate_->connections.clear();
  }
  EXPECT_EQ(delegate_->service->reached.load(), 0);
  // The last connection's thread may still be on its way out.
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  while (openDescriptors() != before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(TransportTest, InvalidateFromTheConnectionsOwnThread) {
  startService("self");
  auto c = client("self");
  auto done = std::make_shared<std::promise<void>>();
  c->setInvalidationHandler([done] { done->set_value(); });
  std::weak_ptr<Connection> weak = c;
  c->remoteObjectProxy().send("echo:withReply:", values(std::string("x")),
                              [weak](std::vector<Value>) {
                                if (auto self = weak.lock()) self->invalidate();
                              });
  c.reset();  // only its own thread holds it now
  EXPECT_EQ(done->get_future().wait_for(kGenerous), std::future_status::ready);
  // And a listener destroyed by a handler of one of its connections.
  delegate_->service = std::make_shared<Service>();
  auto d = client("self");
  auto gone = std::make_shared<std::promise<void>>();
  d->setInvalidationHandler([gone] { gone->set_value(); });
  d->remoteObjectProxy().send("echo:withReply:", values(std::string("y")),
                              [this](std::vector<Value>) { listener_.reset(); });
  EXPECT_EQ(gone->get_future().wait_for(kGenerous), std::future_status::ready);
}

TEST_F(TransportTest, PrivilegedClientRefusesAServiceNotRunByRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  auto ready = posix::makePipe();
  auto hold = posix::makePipe();
  ASSERT_TRUE(ready && hold);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A fresh program: threads may not be started after forking a threaded one.
    if (::dup2(ready->write.get(), 3) < 0 || ::dup2(hold->read.get(), 4) < 0) ::_exit(2);
    const char* argv[] = {"xpc_transport_test",
                          "--gtest_filter=TransportTest.UnprivilegedServiceChild", nullptr};
    ::setenv("VT_XPC_UNPRIVILEGED_CHILD", "1", 1);
    ::execv("/proc/self/exe", const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ready->write.reset();
  hold->read.reset();
  std::byte b[1];
  ASSERT_EQ(posix::readSome(ready->read.get(), b).value_or(0), 1U);

  const auto refused = await(call(client("unprivileged", Connection::privileged),
                                  "echo:withReply:", values(std::string("x"))));
  ASSERT_TRUE(refused.error);
  EXPECT_NE(refused.error->description().find("uid 65534, not as root"), std::string::npos);
  EXPECT_EQ(text(await(call(client("unprivileged"), "echo:withReply:", values(std::string("x"))))),
            "x");

  hold->write.reset();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Run by the test above in a child process: a service as uid 65534, until fd 4 reaches its end.
TEST_F(TransportTest, UnprivilegedServiceChild) {
  if (!childRole()) GTEST_SKIP() << "child role only";
  posix::UniqueFd ready(3);
  posix::UniqueFd hold(4);
  ASSERT_EQ(::setgid(65534), 0);
  ASSERT_EQ(::setuid(65534), 0);
  startService("unprivileged");
  const std::byte one{1};
  ASSERT_TRUE(posix::writeAll(ready.get(), std::span(&one, 1)));
  std::byte b[1];
  (void)posix::readSome(hold.get(), b);
}

}  // namespace
}  // namespace vantreel::platform::xpc
