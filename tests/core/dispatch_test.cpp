#include <gtest/gtest.h>

#include <cstring>

#include "core/session.h"
#include "fakes/fake_host_environment.h"
#include "protocol/message_types.h"
#include "wire.h"

namespace tolvi {
namespace {

std::vector<std::uint8_t> floats(float a, float b) {
  std::vector<std::uint8_t> out(8);
  std::memcpy(out.data(), &a, 4);
  std::memcpy(out.data() + 4, &b, 4);
  return out;
}

std::vector<std::uint8_t> with(std::vector<std::uint8_t> v, std::vector<std::uint8_t> more) {
  v.insert(v.end(), more.begin(), more.end());
  return v;
}

// A session that is not connected to anyone in particular: dispatch is called directly.
struct DispatchFixture {
  FakeHostEnvironment env;
  platform::Socket peer;
  std::unique_ptr<Session> session;
  DispatchFixture() {
    platform::net_startup();
    platform::Socket host_end;
    EXPECT_TRUE(platform::loopback_pair(peer, host_end));
    session = std::make_unique<Session>(std::move(host_end), env);
  }
  std::vector<std::string> events_of(std::uint8_t type, const std::vector<std::uint8_t>& p) {
    env.log.clear();
    session->dispatch(type, p);
    return env.log.events();
  }
};

// Lengths and extra bytes are the reader's (tests/protocol); here each message must reach the
// subsystem that owns it, and ignored ones none.
TEST(Dispatch, RoutesEachMessageToItsSubsystem) {
  using V = std::vector<std::string>;
  struct Case {
    MessageType type;
    std::vector<std::uint8_t> payload;
    V expected;
  };
  const Case cases[] = {
      // Through the real injector: 1919 x 0.25 and 1079 x 0.5 of a 1920x1080 screen.
      {MessageType::MouseMove, floats(0.25f, 0.5f), {"s1 mouse 0xc001 16384 32768 0"}},
      {MessageType::MouseButton, {2, 1}, {"s1 mouse 0x0020 0 0 0"}},
      {MessageType::MouseButton, {2, 0, 9}, {"s1 mouse 0x0040 0 0 0"}},
      {MessageType::MouseWheel,
       with(floats(1, -2), {7}),
       {"s1 mouse 0x0800 0 0 -8", "s1 mouse 0x1000 0 0 -4"}},
      {MessageType::Key, {0x04, 0x01, 1}, {}},  // usage 260: not a key
      {MessageType::Key, {0x04, 0x00, 1}, {"s1 key 0x1e 0x0008"}},
      {MessageType::Key, {0x04, 0x01}, {}},
      {MessageType::ReleaseKeys, {}, {"s1 key 0x1e 0x000a"}},  // A, still held
      {MessageType::CtrlAltDel, {}, {"secure attention"}},
      {MessageType::ClipboardText, {'h', 0, 'i'}, {std::string("s1 clipboard h\0i", 16)}},
      {MessageType::FolderShare, {1, 2, 3}, {"s1 folder share 3"}},
      {MessageType::FolderData, {1, 2}, {"s1 folder traffic 98 2"}},
      {MessageType::FolderClose, {}, {"s1 folder traffic 99 0"}},
      {MessageType::AuthProof, std::vector<std::uint8_t>(32), {}},
      {static_cast<MessageType>(0x99), {1}, {}},
  };
  DispatchFixture f;
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    EXPECT_EQ(f.events_of(code(c.type), c.payload), c.expected);
  }
}

TEST(Dispatch, StreamConfigIsHandedToTheCaptureLoopOnce) {
  DispatchFixture f;
  ClientConfig config;
  std::vector<std::uint8_t> p;
  test::put_u32(p, 1280);
  test::put_u32(p, 0xFFFFFFFF);  // -1
  p.insert(p.end(), {150, 0, 1, 2, 30, 0});
  test::put_u32(p, 5000);
  ASSERT_EQ(p.size(), 18u);

  f.session->dispatch(code(MessageType::StreamConfig), p);
  ASSERT_TRUE(f.session->take_pending_config(config));
  EXPECT_EQ(config, (ClientConfig{1280, -1, 1.5, true, 2, 30, 5000}));
  EXPECT_FALSE(f.session->take_pending_config(config));  // taken once
}

TEST(Dispatch, ConfigurationsStartWithDefaults) {
  DispatchFixture f;
  const ClientConfig expected{0, 0, 1.0, false, 3, 60, 0};
  EXPECT_EQ(f.session->current_config(), expected);
}

TEST(Dispatch, KeyframeRequestIsConsumedOnce) {
  DispatchFixture f;
  EXPECT_FALSE(f.session->take_keyframe_request());
  f.session->dispatch(code(MessageType::KeyframeRequest), {});
  EXPECT_TRUE(f.session->take_keyframe_request());
  EXPECT_FALSE(f.session->take_keyframe_request());
}

TEST(Dispatch, PingIsAnsweredWithTheSamePayload) {
  DispatchFixture f;
  for (const std::vector<std::uint8_t>& ping :
       {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}}) {
    f.session->dispatch(code(MessageType::Ping), ping);
    test::PlainMessage pong;
    ASSERT_TRUE(test::read_plain(f.peer, pong));
    EXPECT_EQ(pong.type, code(MessageType::Pong));
    EXPECT_EQ(pong.payload, ping);
  }
}

TEST(ReceiveLoop, DispatchesUntilTheStreamEndsThenCloses) {
  DispatchFixture f;
  std::vector<std::uint8_t> bytes = test::plain_frame(code(MessageType::Key), {4, 0});  // short
  const auto key = test::plain_frame(code(MessageType::Key), {4, 0, 1});
  bytes.insert(bytes.end(), key.begin(), key.end());
  ASSERT_TRUE(test::write_all(f.peer, bytes));
  f.peer.interrupt();
  f.session->receive_loop();
  EXPECT_EQ(f.env.log.events(), std::vector<std::string>{"s1 key 0x1e 0x0008"});
  EXPECT_TRUE(f.session->connection().closed());
}

}  // namespace
}  // namespace tolvi
