// Linux only: heap use measured with mallinfo2 while a frame is being read.
#include <gtest/gtest.h>
#include <malloc.h>

#include <future>
#include <thread>

#include "core/connection.h"
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

}  // namespace
}  // namespace tolvi
