#include "protocol/host_messages.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes filled(std::size_t n, std::uint8_t value) { return Bytes(n, value); }

TEST(HostMessageWriters, HostHelloLaysOutMagicVersionKeysAndName) {
  const Bytes random = filled(32, 0xA1), identity = filled(32, 0xB2), ephemeral = filled(32, 0xC3);
  const Bytes hello = write_host_hello(random.data(), identity.data(), ephemeral.data(), "DESK-7");
  ASSERT_EQ(hello.size(), 109u);
  EXPECT_EQ(Bytes(hello.begin(), hello.begin() + 7), (Bytes{'T', 'O', 'L', 'V', 2, 0, 2}));
  EXPECT_EQ(Bytes(hello.begin() + 7, hello.begin() + 39), random);
  EXPECT_EQ(Bytes(hello.begin() + 39, hello.begin() + 71), identity);
  EXPECT_EQ(Bytes(hello.begin() + 71, hello.begin() + 103), ephemeral);
  EXPECT_EQ(std::string(hello.begin() + 103, hello.end()), "DESK-7");
}

TEST(HostMessageWriters, FixedLayouts) {
  const Bytes proof = filled(32, 0x5A);
  std::uint8_t auth[33];
  write_auth_success(proof.data(), auth);
  EXPECT_EQ(auth[0], 1);
  EXPECT_EQ(Bytes(auth + 1, auth + 33), proof);

  EXPECT_EQ(write_stream_info(kStreamCodecHevc, 1920, 1080, 2560, 1440),
            (Bytes{2, 0x80, 0x07, 0, 0, 0x38, 0x04, 0, 0, 0x00, 0x0A, 0, 0, 0xA0, 0x05, 0, 0}));

  std::uint8_t frame[kVideoFrameHeaderBytes];
  write_video_frame_header(true, 0x0102030405060708ull, frame);
  EXPECT_EQ(Bytes(frame, frame + 9), (Bytes{1, 8, 7, 6, 5, 4, 3, 2, 1}));
  write_video_frame_header(false, 0, frame);
  EXPECT_EQ(Bytes(frame, frame + 9), Bytes(9, 0));

  std::uint8_t cursor[kCursorHeaderBytes];
  write_cursor_header(256, 32, 0x0102, 31, cursor);
  EXPECT_EQ(Bytes(cursor, cursor + 8), (Bytes{0, 1, 32, 0, 2, 1, 31, 0}));
  EXPECT_EQ(write_hidden_cursor(), Bytes(8, 0));
}

TEST(HostMessageWriters, TextAndFolderMessages) {
  EXPECT_EQ(write_clipboard_text(std::string("a\0b", 3)), (Bytes{'a', 0, 'b'}));
  EXPECT_EQ(write_clipboard_text(""), Bytes{});
  EXPECT_EQ(write_folder_open(0x01020304), (Bytes{4, 3, 2, 1}));
  EXPECT_EQ(write_folder_close(7), (Bytes{7, 0, 0, 0}));
  const Bytes data{9, 8};
  EXPECT_EQ(write_folder_data(0x10, data), (Bytes{0x10, 0, 0, 0, 9, 8}));
  EXPECT_EQ(write_folder_data(0x10, {}), (Bytes{0x10, 0, 0, 0}));
  EXPECT_EQ(write_folder_status(true, "ok"), (Bytes{1, 'o', 'k'}));
  EXPECT_EQ(write_folder_status(false, ""), Bytes{0});
  const Bytes ping{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(write_pong(ping), ping);
  EXPECT_EQ(write_pong({}), Bytes{});
}

}  // namespace
}  // namespace tolvi
