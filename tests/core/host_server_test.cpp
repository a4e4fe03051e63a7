#include "core/host_server.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "client_connection.h"
#include "fakes/fake_host_environment.h"
#include "protocol/message_types.h"
#include "wire.h"

namespace tolvi {
namespace {

using client::ClientConnection;
using client::HandshakeResult;
using namespace std::chrono_literals;

// A host server on a free port with fake subsystems, its accept loop on a thread, and the
// standard error stream captured for the whole test.
class HostServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_shared<FakeHostEnvironment>();
    options_.port = 0;
    options_.environment = env_;
    options_.self_test = [] { return true; };
    options_.session_timings.failed_proof_pause = 20ms;
    options_.handshake_timeout = 3000ms;
    testing::internal::CaptureStderr();
  }
  void TearDown() override {
    clients_.clear();
    if (server_) {
      server_->stop();
      if (loop_.joinable()) loop_.join();
      for (int i = 0; i < 500 && server_->live_client_threads() != 0; ++i) {
        std::this_thread::sleep_for(10ms);
      }
      EXPECT_EQ(server_->live_client_threads(), 0u);
    }
    log();
  }

  void start() {
    server_ = std::make_unique<HostServer>(options_);
    ASSERT_TRUE(server_->start());
    loop_ = std::thread([this] { server_->accept_loop(); });
  }
  ClientConnection& connect(const char* address = "127.0.0.1") {
    platform::Socket s = platform::connect_to(address, server_->port());
    EXPECT_TRUE(s.valid());
    clients_.push_back(std::make_unique<ClientConnection>(std::move(s)));
    clients_.back()->set_receive_timeout(5000ms);
    return *clients_.back();
  }
  // Everything logged so far (the capture restarts).
  const std::string& log() {
    if (!log_done_) {
      log_ += testing::internal::GetCapturedStderr();
      log_done_ = true;
    }
    return log_;
  }
  void recapture() {
    log();
    log_done_ = false;
    testing::internal::CaptureStderr();
  }
  bool ping(ClientConnection& c) {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload{9, 8, 7};
    if (!c.send(code(MessageType::Ping), payload)) return false;
    return c.receive(type, payload) && type == code(MessageType::Pong);
  }
  // True when the host closed the connection without sending anything.
  static bool closed_without_a_word(ClientConnection& c) {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    return !c.receive(type, payload) && c.last_failure() == ClientConnection::Failure::Closed;
  }
  static std::size_t position(const std::string& text, const std::string& part) {
    const std::size_t at = text.find(part);
    EXPECT_NE(at, std::string::npos) << part;
    return at;
  }

  std::shared_ptr<FakeHostEnvironment> env_;
  HostServerOptions options_;
  std::unique_ptr<HostServer> server_;
  std::thread loop_;
  std::vector<std::unique_ptr<ClientConnection>> clients_;
  std::string log_;
  bool log_done_ = false;
};

TEST_F(HostServerTest, SessionWindsDownInOrderWhenTheClientLeaves) {
  env_->stats = CaptureStats{1, 2, 3, 4, 5, 6};
  start();
  ClientConnection& c = connect();
  ASSERT_EQ(client::client_handshake(c, env_->password), HandshakeResult::Authenticated);
  ASSERT_TRUE(env_->log.wait_for("s1 capture run"));
  EXPECT_EQ(env_->status.client(), "127.0.0.1");
  ASSERT_TRUE(c.send(code(MessageType::Key), std::vector<std::uint8_t>{4, 0, 1}));
  ASSERT_TRUE(env_->log.wait_for("s1 key 0x1e 0x0008"));
  c.socket().interrupt();
  ASSERT_TRUE(env_->log.wait_for("display restored"));
  EXPECT_TRUE(env_->status.wait_for_client(""));

  // The held A is released (key up) after the capture loop ended, before the clipboard stops.
  const std::vector<std::string> expected = {
      "s1 capture init",    "s1 clipboard start",   "awake begin",        "s1 capture run",
      "s1 key 0x1e 0x0008", "s1 capture end",       "s1 key 0x1e 0x000a", "s1 clipboard stop",
      "s1 folder stop",     "s1 encoder destroyed", "awake end",          "display restored"};
  EXPECT_EQ(env_->log.events(), expected);
  const std::string& text = log();
  // The dual-stack socket names an IPv4 client by its dotted address.
  EXPECT_NE(text.find("127.0.0.1: authenticated (encrypted)"), std::string::npos);
  EXPECT_EQ(text.find("::ffff:"), std::string::npos);
  EXPECT_LT(position(text,
                     "encoder stats: in 1 out 2 needmore 3, loop: dirty-skips congested 4 "
                     "convert 5 encodeRejected 6"),
            position(text, "fake display restored"));
  EXPECT_LT(position(text, "fake display restored"), position(text, "127.0.0.1: session ended"));
}

TEST_F(HostServerTest, NoEncoderNoStatsLine) {
  start();
  ClientConnection& c = connect();
  ASSERT_EQ(client::client_handshake(c, env_->password), HandshakeResult::Authenticated);
  ASSERT_TRUE(env_->log.wait_for("s1 capture run"));
  c.socket().interrupt();
  ASSERT_TRUE(env_->log.wait_for("display restored"));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(log().find("encoder stats"), std::string::npos);
  EXPECT_NE(log().find("127.0.0.1: session ended"), std::string::npos);
}

TEST_F(HostServerTest, CaptureDeviceFailureEndsTheSessionAtOnce) {
  env_->capture_device_works = false;
  start();
  ClientConnection& c = connect();
  // The session ends so soon that the closing connection may drop the queued AuthResult.
  const HandshakeResult result = client::client_handshake(c, env_->password);
  EXPECT_TRUE(result == HandshakeResult::Authenticated ||
              result == HandshakeResult::ConnectionLost);
  if (result == HandshakeResult::Authenticated) {
    EXPECT_TRUE(closed_without_a_word(c));
  }
  for (int i = 0; i < 200 && log().find("D3D11") == std::string::npos; ++i) {
    recapture();
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(env_->log.events(), std::vector<std::string>{"s1 capture init"});
  EXPECT_NE(log().find("D3D11 init failed"), std::string::npos);
  EXPECT_EQ(log().find("session ended"), std::string::npos);
  EXPECT_TRUE(env_->status.wait_for_client(""));
}

TEST_F(HostServerTest, NewClientDisplacesTheServingSessionAfterItsWindDown) {
  env_->restore_time = 300ms;
  start();
  ClientConnection& first = connect();
  ASSERT_EQ(client::client_handshake(first, env_->password), HandshakeResult::Authenticated);
  ASSERT_TRUE(env_->log.wait_for("s1 capture run"));
  ASSERT_TRUE(first.send(code(MessageType::Key), std::vector<std::uint8_t>{4, 0, 1}));
  ASSERT_TRUE(env_->log.wait_for("s1 key 0x1e 0x0008"));
  ClientConnection& second = connect();
  ASSERT_EQ(client::client_handshake(second, env_->password), HandshakeResult::Authenticated);
  EXPECT_TRUE(closed_without_a_word(first));
  ASSERT_TRUE(env_->log.wait_for("s2 capture run"));
  // The displaced session ended after the new client reported itself: the status still
  // names the client being served.
  EXPECT_EQ(env_->status.client(), "127.0.0.1");
  EXPECT_LT(env_->log.index_of("display restored"), env_->log.index_of("s2 capture run"));
  EXPECT_LT(env_->log.index_of("s1 key 0x1e 0x000a"), env_->log.index_of("s2 capture init"));
  EXPECT_TRUE(ping(second));
}

// Whatever ends a serving session, what its client held is released after the receive thread
// has ended (after the capture loop returned) and before the display is restored.
enum class SessionEnd { HangUp, BadRecord, Displaced };

class SessionEndTest : public HostServerTest, public ::testing::WithParamInterface<SessionEnd> {};

TEST_P(SessionEndTest, HeldKeysAndButtonsAreReleased) {
  start();
  ClientConnection& c = connect();
  ASSERT_EQ(client::client_handshake(c, env_->password), HandshakeResult::Authenticated);
  ASSERT_TRUE(env_->log.wait_for("s1 capture run"));
  ASSERT_TRUE(c.send(code(MessageType::Key), std::vector<std::uint8_t>{225, 0, 1}));
  ASSERT_TRUE(c.send(code(MessageType::MouseButton), std::vector<std::uint8_t>{0, 1}));
  ASSERT_TRUE(env_->log.wait_for("s1 mouse 0x0002 0 0 0"));
  switch (GetParam()) {
    case SessionEnd::HangUp:
      c.socket().interrupt();
      break;
    case SessionEnd::BadRecord: {
      // A frame of 20 bytes that fail authentication.
      std::vector<std::uint8_t> garbage = {20, 0, 0, 0};
      garbage.resize(24, 0x5A);
      ASSERT_TRUE(c.send_raw(garbage.data(), garbage.size()));
      break;
    }
    case SessionEnd::Displaced:
      ASSERT_EQ(client::client_handshake(connect(), env_->password),
                HandshakeResult::Authenticated);
      break;
  }
  ASSERT_TRUE(env_->log.wait_for("display restored"));
  const int capture_end = env_->log.index_of("s1 capture end");
  const int shift_up = env_->log.index_of("s1 key 0x2a 0x000a");
  const int left_up = env_->log.index_of("s1 mouse 0x0004 0 0 0");
  EXPECT_LT(capture_end, shift_up);
  EXPECT_LT(shift_up, left_up);
  EXPECT_LT(left_up, env_->log.index_of("display restored"));
}

INSTANTIATE_TEST_SUITE_P(EveryWay, SessionEndTest,
                         ::testing::Values(SessionEnd::HangUp, SessionEnd::BadRecord,
                                           SessionEnd::Displaced));

TEST_F(HostServerTest, FailedAuthenticationLeavesTheServingSessionAlone) {
  start();
  ClientConnection& serving = connect();
  ASSERT_EQ(client::client_handshake(serving, env_->password), HandshakeResult::Authenticated);
  ASSERT_TRUE(env_->log.wait_for("s1 capture run"));
  ClientConnection& intruder = connect();
  EXPECT_EQ(client::client_handshake(intruder, "guess"), HandshakeResult::WrongPassword);
  EXPECT_TRUE(ping(serving));
  EXPECT_EQ(env_->log.index_of("s1 capture end"), -1);
  EXPECT_EQ(env_->status.client(), "127.0.0.1");
}

TEST_F(HostServerTest, SilentClientIsDroppedAfterTheReadLimit) {
  options_.handshake_timeout = 300ms;
  start();
  ClientConnection& c = connect();
  std::uint8_t type = 0;
  std::vector<std::uint8_t> hello;
  ASSERT_TRUE(c.receive(type, hello));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(closed_without_a_word(c));
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, 200ms);
  EXPECT_LT(waited, 3000ms);
  EXPECT_NE(log().find("127.0.0.1: client did not start key exchange (old Tolvi version?)"),
            std::string::npos);
}

// Stallers, from the good client's own address or another, silent or sending a frame byte by
// byte, never keep it out: a full cap closes the oldest handshake, and the good client's is
// the newest. The good client's reads wait at most 1 s.
TEST_F(HostServerTest, StallersNeverKeepAGoodClientOut) {
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  files.rlim_cur = files.rlim_max;  // 1,000 stallers and their host ends
  setrlimit(RLIMIT_NOFILE, &files);
  start();
  const bool have_v6 = platform::connect_to("::1", server_->port()).valid();
  struct Case {
    int stallers;
    const char* from;
    bool trickle;
  };
  const Case cases[] = {
      {64, "127.0.0.1", false}, {64, "::1", true}, {1000, "127.0.0.1", true}, {1000, "::1", false}};
  for (const Case& c : cases) {
    if (std::string(c.from) == "::1" && !have_v6) continue;
    SCOPED_TRACE(std::to_string(c.stallers) + " from " + c.from);
    const std::uint64_t closed_before = server_->gate().closed_to_make_room();
    std::vector<platform::Socket> stallers;
    for (int i = 0; i < c.stallers; ++i) {
      stallers.push_back(platform::connect_to(c.from, server_->port()));
      // A KeyExchange announced and begun, never finished.
      if (c.trickle) {
        const std::uint8_t part[] = {code(MessageType::KeyExchange), 32, 0, 0, 0, 7};
        const platform::SendPart send{part, sizeof part};
        stallers.back().send_some(&send, 1);
      }
    }
    // Once the host has taken every staller in (accepting 1,000 is slow under sanitizers), so
    // the good client meets full caps, not a queue of connects.
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t seen = server_->gate().handshakes_in_progress() +
                                 server_->gate().closed_to_make_room() - closed_before;
      if (seen >= static_cast<std::uint64_t>(c.stallers)) break;
      std::this_thread::sleep_for(10ms);
    }
    for (const char* good : {"127.0.0.1", "::1"}) {
      if (std::string(good) == "::1" && !have_v6) continue;
      platform::Socket s = platform::connect_to(good, server_->port());
      ASSERT_TRUE(s.valid());
      ClientConnection client(std::move(s));
      client.set_receive_timeout(1000ms);
      EXPECT_EQ(client::client_handshake(client, env_->password), HandshakeResult::Authenticated)
          << good;
    }
  }
  EXPECT_GT(server_->gate().closed_to_make_room(), 0u);
}

// The handshake has one deadline from accept, however slowly its bytes arrive.
TEST_F(HostServerTest, TricklingClientIsDroppedAtTheHandshakeDeadline) {
  options_.handshake_timeout = 500ms;
  start();
  ClientConnection& c = connect();
  std::uint8_t type = 0;
  std::vector<std::uint8_t> hello;
  ASSERT_TRUE(c.receive(type, hello));
  // A 1,000-byte frame, one byte every 100 ms: each read alone is quick.
  std::vector<std::uint8_t> header{code(MessageType::KeyExchange)};
  test::put_u32(header, 1000);
  ASSERT_TRUE(c.send_raw(header.data(), header.size()));
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (int i = 0; i < 50 && !stop.load(); ++i) {
      c.send_raw("x", 1);
      std::this_thread::sleep_for(100ms);
    }
  });
  c.set_receive_timeout(4000ms);
  EXPECT_TRUE(closed_without_a_word(c));
  stop.store(true);
  trickle.join();
  EXPECT_NE(log().find("127.0.0.1: client did not start key exchange (old Tolvi version?)"),
            std::string::npos);
}

// Wrong passwords slow their address down; the right password still gets in, after the delay,
// and another address is not delayed.
TEST_F(HostServerTest, WrongPasswordsDelayTheirAddressButNeverRefuseTheRightOne) {
  options_.gate_limits.first_delay = 20ms;
  options_.gate_limits.max_delay = 300ms;
  start();
  for (int i = 0; i < 6; ++i) {
    ClientConnection& c = connect();
    ASSERT_EQ(client::client_handshake(c, "guess"), HandshakeResult::WrongPassword);
  }
  EXPECT_EQ(server_->gate().failures_recorded(), 6u);
  const auto now = ConnectionGate::Clock::now();
  EXPECT_EQ(server_->gate().delay_for("127.0.0.1", now), 300ms);
  EXPECT_EQ(server_->gate().delay_for("::1", now), ConnectionGate::Clock::duration::zero());

  ClientConnection& owner = connect();
  EXPECT_EQ(client::client_handshake(owner, env_->password), HandshakeResult::Authenticated);
  EXPECT_EQ(server_->gate().delay_for("127.0.0.1", ConnectionGate::Clock::now()),
            ConnectionGate::Clock::duration::zero());
  EXPECT_NE(log().find("127.0.0.1: 1 failed passwords, answers delayed 20 ms"), std::string::npos);
  platform::Socket v6 = platform::connect_to("::1", server_->port());
  if (v6.valid()) {
    ClientConnection other(std::move(v6));
    other.set_receive_timeout(5000ms);
    EXPECT_EQ(client::client_handshake(other, env_->password), HandshakeResult::Authenticated);
  }
}

TEST_F(HostServerTest, SelfTestFailureRefusesToListen) {
  options_.self_test = [] { return false; };
  HostServer server(options_);
  EXPECT_FALSE(server.start());
  EXPECT_NE(log().find("crypto self-test FAILED; refusing to start"), std::string::npos);
  EXPECT_EQ(env_->status.error(), "Encryption self-test failed");
}

TEST_F(HostServerTest, PortInUseIsReported) {
  start();
  const std::uint16_t taken = server_->port();
  options_.port = taken;
  HostServer second(options_);
  EXPECT_FALSE(second.start());
  const std::string expected_line =
      "cannot listen on port " + std::to_string(taken) + ": the port is already in use";
  EXPECT_NE(log().find(expected_line), std::string::npos);
  EXPECT_EQ(env_->status.error(), "Port " + std::to_string(taken) + " is in use");
}

// The tray tries again every few seconds: a refusal repeated is not logged again, and once the
// port is free the host listens on it and the error it reported is gone.
TEST_F(HostServerTest, ListeningAgainAfterThePortIsFreedClearsTheError) {
  start();
  const std::uint16_t taken = server_->port();
  options_.port = taken;
  HostServer second(options_);
  ASSERT_FALSE(second.start());
  EXPECT_TRUE(second.listen_refused());
  EXPECT_FALSE(second.listen());
  server_->stop();
  loop_.join();
  server_.reset();
  ASSERT_TRUE(second.listen());
  EXPECT_FALSE(second.listen_refused());
  EXPECT_EQ(second.port(), taken);
  EXPECT_EQ(env_->status.error(), "");
  const std::string refused = "cannot listen on port " + std::to_string(taken);
  const std::size_t first = log().find(refused);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log().find(refused, first + 1), std::string::npos) << log();
  EXPECT_NE(log().find("listening on port " + std::to_string(taken), first), std::string::npos);
}

// What a stop signal does: no more connections, the serving session winds down the normal way
// before shut_down returns, and a host started again right after gets the same port although
// the old connection is still in TIME-WAIT (it was the host that closed it).
TEST_F(HostServerTest, ShutDownWindsTheSessionDownAndFreesThePortAtOnce) {
  env_->restore_time = 200ms;
  start();
  ClientConnection& c = connect();
  ASSERT_EQ(client::client_handshake(c, env_->password), HandshakeResult::Authenticated);
  ASSERT_TRUE(env_->log.wait_for("s1 capture run"));
  ASSERT_TRUE(c.send(code(MessageType::Key), std::vector<std::uint8_t>{4, 0, 1}));
  ASSERT_TRUE(env_->log.wait_for("s1 key 0x1e 0x0008"));

  EXPECT_TRUE(server_->shut_down(5000ms));
  loop_.join();  // the accept loop has ended
  const int released = env_->log.index_of("s1 key 0x1e 0x000a");
  EXPECT_NE(released, -1);
  EXPECT_LT(released, env_->log.index_of("display restored"));
  EXPECT_NE(env_->log.index_of("display restored"), -1);
  EXPECT_EQ(env_->status.client(), "");
  EXPECT_NE(log().find("127.0.0.1: session ended"), std::string::npos);
  EXPECT_TRUE(closed_without_a_word(c));

  const std::uint16_t port = server_->port();
  clients_.clear();
  for (int i = 0; i < 500 && server_->live_client_threads() != 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  server_.reset();
  options_.port = port;
  recapture();
  start();
  EXPECT_EQ(server_->port(), port);
}

TEST_F(HostServerTest, ShutDownWithoutASessionReturnsAtOnce) {
  start();
  EXPECT_TRUE(server_->shut_down(5000ms));
  loop_.join();
}

}  // namespace
}  // namespace tolvi
