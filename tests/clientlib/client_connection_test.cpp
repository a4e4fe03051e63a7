#include "client_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/wire.h"

namespace tolvi::client {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t kHostToClient[16] = {3, 1, 4};
const std::uint8_t kClientToHost[16] = {2, 7, 1};

struct Pair {
  platform::Socket host;
  std::unique_ptr<ClientConnection> client;
  Pair() {
    platform::net_startup();
    platform::Socket client_end;
    EXPECT_TRUE(platform::loopback_pair(host, client_end));
    client = std::make_unique<ClientConnection>(std::move(client_end));
  }
};

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 13);
  return out;
}

// The client reads ahead: frames that arrive together, frames cut anywhere (inside the length,
// inside the record), frames longer than the read-ahead buffer and empty ones must all come out
// whole and in order, plaintext and then sealed, through both ways of receiving.
TEST(ClientConnectionReceive, FramesCutAnywhereComeOutWholeAndInOrder) {
  const std::size_t sizes[] = {0, 1, 32772, 5, 300000, 32772, 32772, 0, 3 << 20, 17, 32772};
  constexpr int kPlainFrames = 3;  // then keys are installed on both ends
  Pair p;
  Bytes stream;
  RecordKey host_key(kHostToClient);
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    const Bytes payload = pattern(sizes[i], static_cast<std::uint8_t>(i));
    const Bytes frame = i < kPlainFrames
                            ? test::plain_frame(static_cast<std::uint8_t>(0x30 + i), payload)
                            : test::sealed_frame(host_key, static_cast<std::uint8_t>(0x30 + i),
                                                 payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  // Pieces of odd sizes, some a single byte, with pauses so that reads end inside frames.
  std::thread writer([&] {
    const std::size_t pieces[] = {1, 2, 3, 7, 40000, 1, 65536, 100, 250000};
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
      const std::size_t n = std::min(pieces[i % std::size(pieces)], stream.size() - at);
      const platform::SendPart part{stream.data() + at, n};
      if (!p.host.send_all(&part, 1)) return;
      at += n;
      if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // On a failed assertion the writer is stopped and joined before the test returns.
  struct Stop {
    Pair& p;
    std::thread& writer;
    ~Stop() {
      p.host.interrupt();
      writer.join();
    }
  } stop{p, writer};
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    if (i == kPlainFrames) p.client->install_keys(kClientToHost, kHostToClient);
    std::uint8_t type = 0;
    Bytes payload;
    if (i % 2 == 0) {
      ASSERT_TRUE(p.client->receive(type, payload)) << i;
    } else {
      const std::uint8_t* data = nullptr;
      std::size_t length = 0;
      ASSERT_TRUE(p.client->receive_view(type, data, length)) << i;
      payload.assign(data, data + length);
    }
    EXPECT_EQ(type, 0x30 + i);
    EXPECT_TRUE(payload == pattern(sizes[i], static_cast<std::uint8_t>(i))) << i;
    EXPECT_EQ(p.client->last_frame_bytes(),
              (i < kPlainFrames ? 5 : 4 + 1 + RecordKey::kTagBytes) + sizes[i]);
  }
}

// A time-out before the first byte of a frame leaves the stream usable (Idle), also when the
// bytes read ahead ended exactly at a frame's end; one inside a frame does not (Broken); a
// record that does not open is Broken, and so is every receive after it, even at the end of
// the stream.
TEST(ClientConnectionReceive, FailuresSayWhetherTheStreamIsStillUsable) {
  RecordKey host_key(kHostToClient);
  Pair p;
  p.client->install_keys(kClientToHost, kHostToClient);
  p.client->set_receive_timeout(std::chrono::milliseconds(50));
  std::uint8_t type = 0;
  Bytes payload;
  EXPECT_FALSE(p.client->receive(type, payload));
  EXPECT_EQ(p.client->last_failure(), ClientConnection::Failure::Idle);

  Bytes two = test::sealed_frame(host_key, 0x41, {1, 2});
  const Bytes second = test::sealed_frame(host_key, 0x42, {3});
  two.insert(two.end(), second.begin(), second.end());
  ASSERT_TRUE(test::write_all(p.host, two));
  ASSERT_TRUE(p.client->receive(type, payload));
  EXPECT_EQ(payload, (Bytes{1, 2}));
  ASSERT_TRUE(p.client->receive(type, payload));  // from what was read ahead
  EXPECT_EQ(type, 0x42);
  EXPECT_FALSE(p.client->receive(type, payload));
  EXPECT_EQ(p.client->last_failure(), ClientConnection::Failure::Idle);

  Bytes cut = test::sealed_frame(host_key, 0x43, {4, 5, 6});
  cut.resize(cut.size() - 2);
  ASSERT_TRUE(test::write_all(p.host, cut));
  EXPECT_FALSE(p.client->receive(type, payload));
  EXPECT_EQ(p.client->last_failure(), ClientConnection::Failure::Broken);

  Pair q;
  RecordKey wrong_key(kClientToHost);
  q.client->install_keys(kClientToHost, kHostToClient);
  ASSERT_TRUE(test::write_all(q.host, test::sealed_frame(wrong_key, 0x41, {1})));
  q.host.finish_sending();
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
  EXPECT_FALSE(q.client->receive_view(type, data, length));
  EXPECT_EQ(q.client->last_failure(), ClientConnection::Failure::Broken);
  EXPECT_FALSE(q.client->receive_view(type, data, length));
  EXPECT_EQ(q.client->last_failure(), ClientConnection::Failure::Broken);
}

// A run of messages with the same type and prefix that is whole in the receive buffer comes
// out as parts behind the first; the first that differs ends the run and comes next; a record
// that does not open ends it too, and the next receive fails.
TEST(ClientConnectionReceive, FollowingMessagesOfARunComeOutTogether) {
  RecordKey host_key(kHostToClient);
  Pair p;
  p.client->install_keys(kClientToHost, kHostToClient);
  const auto data_for = [](std::uint8_t id, Bytes bytes) {
    bytes.insert(bytes.begin(), {id, 0, 0, 0});
    return bytes;
  };
  Bytes stream;
  for (const auto& [type, payload] : std::vector<std::pair<std::uint8_t, Bytes>>{
           {0x62, data_for(1, {10})},
           {0x62, data_for(1, {11, 12})},
           {0x62, data_for(1, {})},  // empty: no part
           {0x62, data_for(1, {13})},
           {0x62, data_for(2, {20})},  // another connection
           {0x62, data_for(2, {21})},
           {0x63, data_for(2, {})},  // another type
           {0x62, data_for(2, {22})},
           {0x62, data_for(2, {23})}}) {
    const Bytes frame = test::sealed_frame(host_key, type, payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  // Then a record that does not open.
  RecordKey wrong_key(kClientToHost);
  const Bytes bad = test::sealed_frame(wrong_key, 0x62, data_for(2, {24}));
  stream.insert(stream.end(), bad.begin(), bad.end());
  ASSERT_TRUE(test::write_all(p.host, stream));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // all of it read ahead at once

  const auto run = [&](std::uint8_t expected_type, Bytes first, std::vector<Bytes> following) {
    std::uint8_t type = 0;
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    ASSERT_TRUE(p.client->receive_view(type, data, length));
    EXPECT_EQ(type, expected_type);
    EXPECT_EQ(Bytes(data, data + length), first);
    platform::SendPart parts[3];
    const std::size_t count = p.client->receive_following(type, data, 4, parts, std::size(parts));
    ASSERT_EQ(count, following.size());
    for (std::size_t i = 0; i < count; ++i) {
      const auto* part = static_cast<const std::uint8_t*>(parts[i].data);
      EXPECT_EQ(Bytes(part, part + parts[i].length), following[i]) << i;
    }
    EXPECT_EQ(Bytes(data, data + length), first);  // still valid
  };
  run(0x62, data_for(1, {10}), {{11, 12}, {13}});
  run(0x62, data_for(2, {20}), {{21}});
  run(0x63, data_for(2, {}), {});
  run(0x62, data_for(2, {22}), {{23}});
  std::uint8_t type = 0;
  Bytes payload;
  EXPECT_FALSE(p.client->receive(type, payload));
  EXPECT_EQ(p.client->last_failure(), ClientConnection::Failure::Broken);
}

}  // namespace
}  // namespace tolvi::client
