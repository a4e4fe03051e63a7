// Linux only: heap use measured with mallinfo2 while a frame is being read.
#include <gtest/gtest.h>
#include <malloc.h>

#include <future>
#include <thread>

#include "core/connection.h"
#include "core/host_server.h"
#include "fakes/fake_host_environment.h"
#include "protocol/message_types.h"
#include "wire.h"

namespace tolvi {
namespace {

// Small blocks plus the large ones malloc maps on their own.
std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

TEST(ConnectionReceiveMemory, FollowsTheBytesThatArrivedNotTheAnnouncedLength) {
  const std::uint8_t key[16] = {1};
  struct Case {
    bool sealed;
  };
  for (const Case c : {Case{false}, Case{true}}) {
    SCOPED_TRACE(c.sealed);
    platform::Socket peer, host_end;
    ASSERT_TRUE(platform::loopback_pair(peer, host_end));
    Connection connection(std::move(host_end));
    if (c.sealed) {
      ASSERT_TRUE(connection.install_keys(key, key));
    }
    const std::size_t before = heap_in_use();
    auto reader = std::async(std::launch::async, [&] {
      std::uint8_t type = 0;
      std::vector<std::uint8_t> payload;
      return connection.receive(type, payload);
    });
    // 64 MiB announced, 1,000 bytes sent.
    std::vector<std::uint8_t> frame;
    if (!c.sealed) frame.push_back(0x62);
    test::put_u32(frame, 0x4000000);
    frame.resize(frame.size() + 1000, 0);
    ASSERT_TRUE(test::write_all(peer, frame));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(heap_in_use() - before, 1024u * 1024);
    connection.close();
    EXPECT_FALSE(reader.get());
  }
}

// 64 peers each announce a 64 MiB KeyExchange and send 1 MiB of it: the host buffers none of
// it, since nothing before authentication may be longer than a KeyExchange or AuthProof.
TEST(HostReceiveMemory, BigFramesBeforeAuthenticationCostTheHostLittle) {
  constexpr int kPeers = 64;
  constexpr std::size_t kSentBytes = 1 << 20;
  HostServerOptions options;
  options.port = 0;
  options.environment = std::make_shared<FakeHostEnvironment>();
  options.self_test = [] { return true; };
  HostServer server(options);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(server.start());
  std::thread loop([&] { server.accept_loop(); });
  const std::size_t before = heap_in_use();
  std::vector<platform::Socket> peers;
  std::vector<std::uint8_t> frame{code(MessageType::KeyExchange)};
  test::put_u32(frame, 0x4000000);
  frame.resize(frame.size() + kSentBytes, 0x55);
  std::vector<std::thread> writers;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(platform::connect_to("127.0.0.1", server.port()));
    ASSERT_TRUE(peers.back().valid());
  }
  // The host closes each connection after its header, so most of a write may fail.
  for (auto& peer : peers) writers.emplace_back([&] { test::write_all(peer, frame); });
  for (auto& w : writers) w.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::size_t during = heap_in_use();
  EXPECT_LT(during - std::min(during, before), 4u * 1024 * 1024);
  peers.clear();
  server.stop();
  loop.join();
  for (int i = 0; i < 500 && server.live_client_threads() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace tolvi
