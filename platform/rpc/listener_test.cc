#include "platform/rpc/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/rpc/client.h"
#include "platform/rpc/rpc_test_support.h"
#include "platform/sync/clock.h"

namespace kavex::rpc {
namespace {

using testing::EchoDispatcher;
using testing::kEchoInterface;

// Polls until `done` or a generous deadline; a bug fails instead of hanging.
template <class F>
bool WaitFor(F done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    accounts_ = testing::TestAccounts();
    config_.dispatcher = &dispatcher_;
    config_.ntlm = &ntlm_;
    config_.accounts = &accounts_;
    config_.secondary_address = "0";
  }
  void TearDown() override {
    listener_.reset();
    sync::SetClockForTesting(nullptr);
  }
  void Start() {
    listener_ = std::make_unique<Listener>(ListenerOptions{}, &config_);
    ASSERT_EQ(listener_->Start(), ERROR_SUCCESS);
    ASSERT_NE(listener_->port(), 0);
  }
  // A logged-on client bound to the echo interface.
  std::unique_ptr<RpcClient> GoodClient() {
    ClientOptions options;
    options.credentials = &credentials_;
    auto client = std::make_unique<RpcClient>(options);
    EXPECT_EQ(client->Connect("127.0.0.1", listener_->port()), ERROR_SUCCESS);
    EXPECT_EQ(client->Bind(kEchoInterface), ERROR_SUCCESS);
    return client;
  }
  static void ExpectEcho(RpcClient& client, std::vector<uint8_t> data) {
    std::vector<uint8_t> out;
    uint32_t fault = 1;
    ASSERT_EQ(client.Call(0, 0, data, &out, &fault), ERROR_SUCCESS);
    EXPECT_EQ(fault, 0u);
    EXPECT_EQ(out, data);
  }

  sync::FakeClock clock_;
  EchoDispatcher dispatcher_;
  NtlmServerConfig ntlm_;
  AccountStore accounts_;
  ConnectionConfig config_;
  NtlmClientCredentials credentials_ = testing::TestCredentials();
  std::unique_ptr<Listener> listener_;
};

TEST_F(ListenerTest, ServesManyClientsAtOnceWithLargeMessages) {
  Start();
  constexpr int kClients = 16;
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      ClientOptions options;
      options.credentials = &credentials_;
      RpcClient client(options);
      if (client.Connect("127.0.0.1", listener_->port()) != ERROR_SUCCESS ||
          client.Bind(kEchoInterface) != ERROR_SUCCESS) {
        return;
      }
      // 20 kB each way: several fragments both ways.
      std::vector<uint8_t> data(20000 + i);
      for (size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<uint8_t>(k + i);
      std::vector<uint8_t> out;
      uint32_t fault = 1;
      if (client.Call(0, 0, data, &out, &fault) == ERROR_SUCCESS &&
          fault == 0 && out == data) {
        ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, kClients);
  EXPECT_TRUE(WaitFor([&] { return dispatcher_.closed == kClients; }));
  EXPECT_EQ(listener_->connection_count(), 0u);
}

TEST_F(ListenerTest, SlowAndSilentClientsAreDroppedOnTheClock) {
  config_.limits.pdu_deadline_ms = 5000;
  config_.limits.bind_deadline_ms = 30000;
  Start();
  auto good = GoodClient();
  // One client sends the first bytes of a bind and then trickles.
  RpcClient slow;
  ASSERT_EQ(slow.Connect("127.0.0.1", listener_->port()), ERROR_SUCCESS);
  std::vector<uint8_t> header = {5, 0, 11, 3, 0x10, 0, 0, 0, 72, 0};
  ASSERT_EQ(slow.SendRaw(header), ERROR_SUCCESS);
  // One that connects and says nothing.
  RpcClient silent;
  ASSERT_EQ(silent.Connect("127.0.0.1", listener_->port()), ERROR_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return listener_->connection_count() == 3; }));
  for (int second = 0; second < 4; ++second) {
    clock_.Advance(1000);
    uint8_t byte = 0;
    ASSERT_EQ(slow.SendRaw({&byte, 1}), ERROR_SUCCESS);
    ExpectEcho(*good, {static_cast<uint8_t>(second)});
  }
  EXPECT_EQ(listener_->connection_count(), 3u);
  clock_.Advance(1500);
  EXPECT_TRUE(slow.WaitClosed());
  ExpectEcho(*good, {7, 7});
  EXPECT_EQ(listener_->connection_count(), 2u);
  // The silent one goes at the bind deadline; the good one stays.
  clock_.Advance(30000);
  EXPECT_TRUE(silent.WaitClosed());
  ExpectEcho(*good, {8});
  // Idle connections go at the idle time-out.
  clock_.Advance(config_.limits.idle_timeout_ms);
  EXPECT_TRUE(good->WaitClosed());
}

TEST_F(ListenerTest, ConnectionLimitsRefuseTheSurplusOnly) {
  config_.limits.max_connections_per_peer = 3;
  Start();
  std::vector<std::unique_ptr<RpcClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(GoodClient());
  RpcClient surplus;
  ASSERT_EQ(surplus.Connect("127.0.0.1", listener_->port()), ERROR_SUCCESS);
  EXPECT_TRUE(surplus.WaitClosed());
  EXPECT_EQ(listener_->refused_count(), 1u);
  for (auto& c : clients) ExpectEcho(*c, {1, 2, 3});
  clients.pop_back();
  ASSERT_TRUE(WaitFor([&] { return listener_->connection_count() == 2; }));
  clients.push_back(GoodClient());
  ExpectEcho(*clients.back(), {4});
}

TEST_F(ListenerTest, HostileClientsDoNotDisturbOthers) {
  Start();
  auto good = GoodClient();
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> oversized = {5,    0,    0, 3, 0x10, 0, 0, 0,
                                    0xff, 0xff, 0, 0, 0,    0, 0, 0};
  oversized.resize(0xffff, 0);
  std::vector<Case> cases = {
      {"garbage", std::vector<uint8_t>(100, 0xEE)},
      {"fragment length beyond the limit", oversized},
      {"request before bind", {5, 0, 0, 3, 0x10, 0, 0, 0, 24, 0, 0, 0,
                               1, 0, 0, 0, 0,    0, 0, 0, 0,  0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RpcClient bad;
    ASSERT_EQ(bad.Connect("127.0.0.1", listener_->port()), ERROR_SUCCESS);
    bad.SendRaw(c.bytes);
    ExpectEcho(*good, {9, 9});
    if (std::string(c.name) == "request before bind") {
      Pdu fault;
      ASSERT_EQ(bad.ReceivePdu(&fault), ERROR_SUCCESS);
      EXPECT_EQ(fault.header.type, PduType::kFault);
      EXPECT_EQ(fault.status, kFaultUnknownInterface);
    } else {
      EXPECT_TRUE(bad.WaitClosed());
    }
  }
  // A wrong password is refused; the next correct client is served.
  NtlmClientCredentials wrong = testing::TestCredentials(u"guess");
  ClientOptions options;
  options.credentials = &wrong;
  RpcClient refused(options);
  ASSERT_EQ(refused.Connect("127.0.0.1", listener_->port()), ERROR_SUCCESS);
  ASSERT_EQ(refused.Bind(kEchoInterface), ERROR_SUCCESS);
  std::vector<uint8_t> out;
  uint32_t fault = 0;
  ASSERT_EQ(refused.Call(0, 0, std::vector<uint8_t>{1}, &out, &fault),
            ERROR_SUCCESS);
  EXPECT_EQ(fault, kFaultAccessDenied);
  EXPECT_TRUE(refused.WaitClosed());
  auto next = GoodClient();
  ExpectEcho(*next, {5});
  ExpectEcho(*good, {6});
}

}  // namespace
}  // namespace kavex::rpc

namespace kavex::rpc {
namespace {

// A socket of the test's own on 127.0.0.1, as a service manager hands it
// over: bound to a free port and, unless `listening` is false, listening.
int TestSocket(int type, bool listening, uint16_t* port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof sa;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  if (listening) {
    EXPECT_EQ(listen(fd, 16), 0);
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
  *port = ntohs(sa.sin_port);
  return fd;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST_F(ListenerTest, ServesOnAHandedOverSocketAndClosesIt) {
  uint16_t port = 0;
  int fd = TestSocket(SOCK_STREAM, true, &port);
  ListenerOptions options;
  options.listen_fd = fd;
  options.port = 1;  // ignored: the socket is what counts
  listener_ = std::make_unique<Listener>(options, &config_);
  ASSERT_EQ(listener_->Start(), ERROR_SUCCESS);
  EXPECT_EQ(listener_->port(), port);
  {
    auto client = GoodClient();
    ExpectEcho(*client, {1, 2, 3});
  }
  listener_->Stop();
  EXPECT_FALSE(IsOpen(fd));
}

TEST_F(ListenerTest, RefusesHandedOverSocketsThatCannotAccept) {
  struct Case {
    const char* what;
    int type;
    bool listening;
  };
  for (const Case& c :
       {Case{"a datagram socket", SOCK_DGRAM, false},
        Case{"a stream socket never listening", SOCK_STREAM, false}}) {
    SCOPED_TRACE(c.what);
    uint16_t port = 0;
    int fd = TestSocket(c.type, c.listening, &port);
    ListenerOptions options;
    options.listen_fd = fd;
    Listener listener(options, &config_);
    EXPECT_EQ(listener.Start(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(IsOpen(fd));
    listener.Stop();
  }
  // Not a socket at all (a pipe).
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  ListenerOptions options;
  options.listen_fd = pipe_fds[0];
  Listener listener(options, &config_);
  EXPECT_EQ(listener.Start(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  close(pipe_fds[1]);
}

}  // namespace
}  // namespace kavex::rpc
