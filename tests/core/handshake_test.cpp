#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include "client_connection.h"
#include "core/session.h"
#include "crypto/x25519.h"
#include "fakes/fake_host_environment.h"
#include "platform/crypto_provider.h"
#include "protocol/message_types.h"
#include "settings/settings_store.h"
#include "wire.h"

namespace tolvi {
namespace {

using client::ClientConnection;
using client::ClientKeys;
using client::HostHello;

// A session on one end of a loopback pair, its handshake running on its own thread, and a
// scripted client on the other end.
class HandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::net_startup();
    platform::Socket peer, host_end;
    ASSERT_TRUE(platform::loopback_pair(peer, host_end));
    host_end.set_receive_timeout_ms(2000);
    client_ = std::make_unique<ClientConnection>(std::move(peer));
    client_->set_receive_timeout(std::chrono::milliseconds(5000));
    SessionTimings timings;
    timings.failed_proof_pause = std::chrono::milliseconds(200);
    session_ = std::make_unique<Session>(std::move(host_end), env_, timings);
    testing::internal::CaptureStderr();
    result_ = std::async(std::launch::async, [this] { return session_->handshake(); });
  }
  void TearDown() override {
    if (result_.valid()) result_.wait();
    session_.reset();
    log_ = testing::internal::GetCapturedStderr();
  }

  bool finish() {
    const bool ok = result_.get();
    log_ = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    return ok;
  }
  bool logged(const std::string& text) const { return log_.find(text) != std::string::npos; }

  HostHello read_hello() {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    HostHello hello;
    EXPECT_TRUE(client_->receive(type, payload));
    EXPECT_EQ(type, code(MessageType::HostHello));
    EXPECT_TRUE(client::parse_host_hello(payload, hello));
    return hello;
  }
  // KeyExchange and key derivation, as a well-behaved client does them.
  void exchange_keys(const HostHello& hello, ClientKeys& keys) {
    std::uint8_t priv[32] = {42}, pub[32];
    x25519_base(pub, priv);
    ASSERT_TRUE(client_->send(code(MessageType::KeyExchange), pub, 32));
    ASSERT_TRUE(client::derive_client_keys(priv, pub, hello, keys));
    client_->install_keys(keys.client_to_host, keys.host_to_client);
  }
  // Nothing more arrives: the host closes without another frame.
  bool host_sends_nothing_more() {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    return !client_->receive(type, payload) &&
           client_->last_failure() == ClientConnection::Failure::Closed;
  }

  FakeHostEnvironment env_;
  std::unique_ptr<ClientConnection> client_;
  std::unique_ptr<Session> session_;
  std::future<bool> result_;
  std::string log_;
};

const char kNoKeyExchange[] = "127.0.0.1: client did not start key exchange (old Tolvi version?)";

TEST_F(HandshakeTest, HostHelloLayout) {
  const HostHello hello = read_hello();
  ASSERT_EQ(hello.payload.size(), 109u);
  const std::uint8_t prefix[] = {'T', 'O', 'L', 'V', 2, 0, 2};
  EXPECT_EQ(std::memcmp(hello.payload.data(), prefix, 7), 0);
  std::uint8_t identity_public[32];
  x25519_base(identity_public, env_.identity_key);
  EXPECT_EQ(std::memcmp(hello.identity_public, identity_public, 32), 0);
  EXPECT_EQ(hello.computer_name, "DESK-7");
  client_->socket().interrupt();
  EXPECT_FALSE(finish());
}

TEST_F(HandshakeTest, CorrectPasswordAuthenticatesAndSealsBothWays) {
  ClientConnection& c = *client_;
  ClientKeys keys;
  exchange_keys(read_hello(), keys);
  std::uint8_t proof[32];
  ASSERT_TRUE(client::password_proof(env_.password, keys.transcript_hash, "client", proof));
  ASSERT_TRUE(c.send(code(MessageType::AuthProof), proof, 32));

  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(c.receive(type, payload));
  EXPECT_EQ(type, code(MessageType::AuthResult));
  ASSERT_EQ(payload.size(), 33u);
  EXPECT_EQ(payload[0], 1);
  std::uint8_t host_proof[32];
  ASSERT_TRUE(client::password_proof(env_.password, keys.transcript_hash, "host", host_proof));
  EXPECT_EQ(std::memcmp(payload.data() + 1, host_proof, 32), 0);
  EXPECT_TRUE(finish());
  EXPECT_TRUE(logged("127.0.0.1: authenticated (encrypted)"));
  EXPECT_EQ(env_.status.client(), "127.0.0.1");

  // Counter 1 in both directions: a sealed Ping read and its sealed Pong.
  ASSERT_TRUE(c.send(code(MessageType::Ping), std::vector<std::uint8_t>{1, 2, 3, 4}));
  std::uint8_t ping_type = 0;
  std::vector<std::uint8_t> ping;
  ASSERT_TRUE(session_->connection().receive(ping_type, ping));
  session_->dispatch(ping_type, ping);
  ASSERT_TRUE(c.receive(type, payload));
  EXPECT_EQ(type, code(MessageType::Pong));
  EXPECT_EQ(payload, (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(c.last_frame_bytes(), 25u);
}

// A host without a password (none set yet, or one that cannot be read) must not serve: the
// proof of the empty text is refused like any other, the log says why once, and the status
// tells the person what to do.
TEST_F(HandshakeTest, HostWithoutPasswordRefusesEvenTheEmptyProof) {
  env_.password = "";
  ClientKeys keys;
  exchange_keys(read_hello(), keys);
  std::uint8_t proof[32];
  ASSERT_TRUE(client::password_proof("", keys.transcript_hash, "client", proof));
  ASSERT_TRUE(client_->send(code(MessageType::AuthProof), proof, 32));
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(client_->receive(type, payload));
  EXPECT_EQ(type, code(MessageType::AuthResult));
  EXPECT_EQ(payload, std::vector<std::uint8_t>{0});
  EXPECT_FALSE(finish());
  EXPECT_TRUE(session_->proof_was_wrong());
  EXPECT_TRUE(logged("no password is set: every client is refused until one is set"));
  EXPECT_EQ(env_.status.error(), kNoPasswordStatus);
  EXPECT_EQ(env_.status.client(), "");
}

// A first message that is not a 32-byte KeyExchange: the old-client line, nothing sent back.
TEST_F(HandshakeTest, FirstMessageMustBeA32ByteKeyExchange) {
  read_hello();
  ASSERT_TRUE(client_->send(code(MessageType::AuthProof), std::vector<std::uint8_t>(32)));
  EXPECT_FALSE(finish());
  EXPECT_TRUE(logged(kNoKeyExchange));
  session_.reset();
  EXPECT_TRUE(host_sends_nothing_more());
}

// Public keys of small order give an all-zero shared secret: the keys would be known to anyone
// who saw the transcript, so the key exchange is refused.
TEST(HandshakeFirstMessage, WeakPublicKeysAreRefused) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> key;
  };
  std::vector<std::uint8_t> one(32, 0);
  one[0] = 1;
  const std::vector<std::uint8_t> order_eight = {0xe0, 0xeb, 0x7a, 0x7c, 0x3b, 0x41, 0xb8, 0xae,
                                                 0x16, 0x56, 0xe3, 0xfa, 0xf1, 0x9f, 0xc4, 0x6a,
                                                 0xda, 0x09, 0x8d, 0xeb, 0x9c, 0x32, 0xb1, 0xfd,
                                                 0x86, 0x62, 0x05, 0x16, 0x5f, 0x49, 0xb8, 0x00};
  const Case cases[] = {{"all zero", std::vector<std::uint8_t>(32, 0)},
                        {"one", one},
                        {"a point of order 8", order_eight}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHostEnvironment env;
    platform::Socket peer, host_end;
    ASSERT_TRUE(platform::loopback_pair(peer, host_end));
    host_end.set_receive_timeout_ms(2000);
    Session session(std::move(host_end), env);
    ClientConnection client(std::move(peer));
    client.set_receive_timeout(std::chrono::milliseconds(2000));
    ASSERT_TRUE(client.send(code(MessageType::KeyExchange), c.key));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(session.handshake());
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("127.0.0.1: key exchange refused (weak public key)"), std::string::npos);
    EXPECT_EQ(log.find("authentication failed"), std::string::npos);
    session.connection().close();
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    // At most the hello (closing may drop it), and nothing after it.
    while (client.receive(type, payload)) EXPECT_EQ(type, code(MessageType::HostHello));
  }
}

TEST(HandshakeFirstMessage, WrongSizesAndSilenceAreRefused) {
  struct Case {
    const char* what;
    std::size_t key_bytes;  // 0: send nothing
  };
  for (const Case c : {Case{"31 bytes", 31}, Case{"33 bytes", 33}, Case{"silence", 0}}) {
    SCOPED_TRACE(c.what);
    FakeHostEnvironment env;
    platform::Socket peer, host_end;
    ASSERT_TRUE(platform::loopback_pair(peer, host_end));
    host_end.set_receive_timeout_ms(200);  // stands in for the 15 s limit
    Session session(std::move(host_end), env);
    ClientConnection client(std::move(peer));
    if (c.key_bytes) {
      ASSERT_TRUE(
          client.send(code(MessageType::KeyExchange), std::vector<std::uint8_t>(c.key_bytes, 9)));
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(session.handshake());
    EXPECT_NE(testing::internal::GetCapturedStderr().find(kNoKeyExchange), std::string::npos);
  }
}

// The second message: anything unreadable ends silently; anything readable but wrong is a
// failed authentication with a sealed 00 and the pause.
TEST(HandshakeSecondMessage, FailureTable) {
  enum class Send { Nothing, Close, Garbage, WrongType, ShortProof, WrongProof };
  struct Case {
    const char* what;
    Send send;
    bool refusal_expected;
  };
  const Case cases[] = {
      {"time-out", Send::Nothing, false},        {"closed", Send::Close, false},
      {"bad tag", Send::Garbage, false},         {"Ping instead", Send::WrongType, true},
      {"31-byte proof", Send::ShortProof, true}, {"wrong proof", Send::WrongProof, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHostEnvironment env;
    platform::Socket peer, host_end;
    ASSERT_TRUE(platform::loopback_pair(peer, host_end));
    host_end.set_receive_timeout_ms(300);
    Session session(std::move(host_end), env);
    ClientConnection client(std::move(peer));
    client.set_receive_timeout(std::chrono::milliseconds(3000));
    testing::internal::CaptureStderr();
    auto result = std::async(std::launch::async, [&] { return session.handshake(); });

    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    HostHello hello;
    ASSERT_TRUE(client.receive(type, payload));
    ASSERT_TRUE(client::parse_host_hello(payload, hello));
    std::uint8_t priv[32] = {5}, pub[32];
    x25519_base(pub, priv);
    ASSERT_TRUE(client.send(code(MessageType::KeyExchange), pub, 32));
    ClientKeys keys;
    ASSERT_TRUE(client::derive_client_keys(priv, pub, hello, keys));
    client.install_keys(keys.client_to_host, keys.host_to_client);
    std::uint8_t proof[32];
    ASSERT_TRUE(client::password_proof(env.password, keys.transcript_hash, "client", proof));
    switch (c.send) {
      case Send::Nothing:
        break;
      case Send::Close:
        client.socket().interrupt();
        break;
      case Send::Garbage: {
        std::vector<std::uint8_t> frame;
        test::put_u32(frame, 49);
        frame.resize(4 + 49, 0x5A);
        client.send_raw(frame.data(), frame.size());
        break;
      }
      case Send::WrongType:
        client.send(code(MessageType::Ping), proof, 32);
        break;
      case Send::ShortProof:
        client.send(code(MessageType::AuthProof), proof, 31);
        break;
      case Send::WrongProof:
        proof[31] ^= 1;
        client.send(code(MessageType::AuthProof), proof, 32);
        break;
    }
    const auto started = std::chrono::steady_clock::now();
    if (c.refusal_expected) {
      ASSERT_TRUE(client.receive(type, payload));
      EXPECT_EQ(type, code(MessageType::AuthResult));
      EXPECT_EQ(payload, std::vector<std::uint8_t>{0});
    }
    EXPECT_FALSE(result.get());
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("127.0.0.1: authentication failed") != std::string::npos,
              c.refusal_expected);
    EXPECT_EQ(session.proof_was_wrong(), c.refusal_expected);
    if (c.refusal_expected) {
      EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(150));
    } else if (c.send != Send::Close) {
      session.connection().close();
      EXPECT_FALSE(client.receive(type, payload));  // nothing was sent
    }
  }
}

// The refusal is written by the sender thread; the connection closing right after the
// handshake returns (no pause) must not drop it. Several rounds, as the fault needs the sender
// thread to be a little late.
// Either verdict reaches the client even when the session goes away (or is displaced by the
// next client) the moment its handshake returns.
TEST(HandshakeSecondMessage, VerdictReachesTheClientWhenTheConnectionClosesAtOnce) {
  constexpr int kRounds = 20;
  for (const char* password : {"guess", "correct horse"}) {
    for (int round = 0; round < kRounds; ++round) {
      SCOPED_TRACE(std::string(password) + " round " + std::to_string(round));
      FakeHostEnvironment env;
      platform::Socket peer, host_end;
      ASSERT_TRUE(platform::loopback_pair(peer, host_end));
      host_end.set_receive_timeout_ms(3000);
      ClientConnection client(std::move(peer));
      client.set_receive_timeout(std::chrono::milliseconds(3000));
      testing::internal::CaptureStderr();
      auto host = std::async(std::launch::async, [&env, socket = std::move(host_end)]() mutable {
        SessionTimings timings;
        timings.failed_proof_pause = std::chrono::milliseconds(0);
        Session session(std::move(socket), env, timings);
        const bool authenticated = session.handshake();
        session.connection().close();
        return authenticated;
      });
      const bool right = password == env.password;
      EXPECT_EQ(client::client_handshake(client, password),
                right ? client::HandshakeResult::Authenticated
                      : client::HandshakeResult::WrongPassword);
      EXPECT_EQ(host.get(), right);
      testing::internal::GetCapturedStderr();
    }
  }
}

TEST_F(HandshakeTest, MissingCipherIsAnEncryptionSetupFailure) {
  ClientKeys keys;
  const HostHello hello = read_hello();
  platform::simulate_missing_aes_provider_for_testing(true);
  exchange_keys(hello, keys);
  EXPECT_FALSE(finish());
  platform::simulate_missing_aes_provider_for_testing(false);
  EXPECT_TRUE(logged("encryption setup failed"));
}

TEST(HandshakeHello, FreshRandomAndEphemeralKeyPerConnection) {
  FakeHostEnvironment env;
  std::vector<HostHello> hellos(2);
  for (HostHello& hello : hellos) {
    platform::Socket peer, host_end;
    ASSERT_TRUE(platform::loopback_pair(peer, host_end));
    Session session(std::move(host_end), env);
    ClientConnection client(std::move(peer));
    auto result = std::async(std::launch::async, [&] { return session.handshake(); });
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(client.receive(type, payload));
    ASSERT_TRUE(client::parse_host_hello(payload, hello));
    testing::internal::CaptureStderr();
    client.socket().interrupt();
    EXPECT_FALSE(result.get());
    testing::internal::GetCapturedStderr();
  }
  EXPECT_NE(std::memcmp(hellos[0].host_random, hellos[1].host_random, 32), 0);
  EXPECT_NE(std::memcmp(hellos[0].ephemeral_public, hellos[1].ephemeral_public, 32), 0);
  EXPECT_EQ(std::memcmp(hellos[0].identity_public, hellos[1].identity_public, 32), 0);
}

TEST(HandshakeHello, ComputerNameFallbackAndLimit) {
  struct Case {
    std::string name;
    std::string sent;
  };
  const Case cases[] = {{"", "Windows"},
                        {std::string("AB\0CD", 5), "AB"},
                        {std::string(300, 'n'), std::string(255, 'n')}};
  for (const Case& c : cases) {
    FakeHostEnvironment env;
    env.name = c.name;
    platform::Socket peer, host_end;
    ASSERT_TRUE(platform::loopback_pair(peer, host_end));
    Session session(std::move(host_end), env);
    ClientConnection client(std::move(peer));
    auto result = std::async(std::launch::async, [&] { return session.handshake(); });
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    HostHello hello;
    ASSERT_TRUE(client.receive(type, payload));
    ASSERT_TRUE(client::parse_host_hello(payload, hello));
    EXPECT_EQ(hello.computer_name, c.sent);
    testing::internal::CaptureStderr();
    client.socket().interrupt();
    EXPECT_FALSE(result.get());
    testing::internal::GetCapturedStderr();
  }
}

}  // namespace
}  // namespace tolvi
