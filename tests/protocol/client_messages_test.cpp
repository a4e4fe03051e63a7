#include "protocol/client_messages.h"

#include <gtest/gtest.h>

#include <cstring>

#include "protocol/message_types.h"
#include "protocol/recording_handler.h"

namespace tolvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes floats(float a, float b) {
  Bytes out(8);
  std::memcpy(out.data(), &a, 4);
  std::memcpy(out.data() + 4, &b, 4);
  return out;
}

Bytes with(Bytes v, const Bytes& more) {
  v.insert(v.end(), more.begin(), more.end());
  return v;
}

// width 1280, height -1, scale 150 %, match on, codec mask 2, 30 fps, cap 5000 kbit/s.
const Bytes kStreamConfig = {0x00, 0x05, 0, 0,  0xFF, 0xFF, 0xFF, 0xFF, 150,
                             0,    1,    2, 30, 0,    0x88, 0x13, 0,    0};

// Each type's minimum length, one byte short of it, and extra bytes after it; the types that
// take any length with none; unknown and handshake types never reach the handler.
TEST(ClientMessageReader, CallsTheHandlerByTypeAndLength) {
  using V = std::vector<std::string>;
  struct Case {
    MessageType type;
    Bytes payload;
    V expected;
  };
  const Case cases[] = {
      {MessageType::StreamConfig, kStreamConfig, {"config 1280 -1 150 1 2 30 5000"}},
      {MessageType::StreamConfig, with(kStreamConfig, {0xEE}), {"config 1280 -1 150 1 2 30 5000"}},
      {MessageType::StreamConfig, Bytes(kStreamConfig.begin(), kStreamConfig.end() - 1), {}},
      {MessageType::MouseMove, floats(0.25f, 0.5f), {"move 0.250000 0.500000"}},
      {MessageType::MouseMove, with(floats(0.25f, 0.5f), {9}), {"move 0.250000 0.500000"}},
      {MessageType::MouseMove, Bytes(7), {}},
      {MessageType::MouseButton, {2, 1}, {"button 2 1"}},
      {MessageType::MouseButton, {2, 0, 9}, {"button 2 0"}},
      {MessageType::MouseButton, {2}, {}},
      {MessageType::MouseWheel, with(floats(1, -2), {7}), {"wheel 1.000000 -2.000000 1"}},
      {MessageType::MouseWheel, with(floats(1, -2), {0, 5}), {"wheel 1.000000 -2.000000 0"}},
      {MessageType::MouseWheel, floats(1, -2), {}},
      {MessageType::Key, {0x04, 0x01, 1}, {"key 260 1"}},
      {MessageType::Key, {0x04, 0x01, 0, 7}, {"key 260 0"}},
      {MessageType::Key, {0x04, 0x01}, {}},
      {MessageType::ClipboardText, {'h', 0, 'i'}, {std::string("clipboard h\0i", 13)}},
      {MessageType::ClipboardText, {}, {"clipboard "}},
      {MessageType::Ping, {}, {"ping 0"}},
      {MessageType::Ping, {1, 2}, {"ping 2 1 2"}},
      {MessageType::KeyframeRequest, Bytes(100), {"keyframe"}},
      {MessageType::ReleaseKeys, {}, {"release all"}},
      {MessageType::CtrlAltDel, {3}, {"ctrl alt del"}},
      {MessageType::FolderShare, {1, 2, 3}, {"share 3 1 2 3"}},
      {MessageType::FolderData, {1, 2}, {"data 2 1 2"}},
      {MessageType::FolderClose, {}, {"close 0"}},
      {MessageType::AuthProof, Bytes(32), {}},
      {MessageType::KeyExchange, Bytes(32), {}},
      {MessageType::HostHello, Bytes(109), {}},
      {MessageType::Pong, {1}, {}},
      {static_cast<MessageType>(0x99), {1}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    SCOPED_TRACE(c.payload.size());
    test::RecordingHandler handler;
    EXPECT_EQ(read_client_message(code(c.type), c.payload, handler), !c.expected.empty());
    EXPECT_EQ(handler.calls, c.expected);
  }
}

TEST(ClientMessageReader, StreamConfigFieldsAreSignedWhereTheWireIsSigned) {
  Bytes p(18, 0xFF);
  StreamConfigMessage m;
  ASSERT_TRUE(read_stream_config(p, m));
  EXPECT_EQ(m.width, -1);
  EXPECT_EQ(m.height, -1);
  EXPECT_EQ(m.scale_percent, 65535);
  EXPECT_TRUE(m.match_resolution);
  EXPECT_EQ(m.codec_mask, 255);
  EXPECT_EQ(m.fps, 65535);
  EXPECT_EQ(m.max_kbps, -1);
}

std::vector<std::uint8_t> share_payload(std::uint8_t flag, const std::string& token,
                                        const std::string& name) {
  std::vector<std::uint8_t> p{flag, static_cast<std::uint8_t>(token.size()),
                              static_cast<std::uint8_t>(token.size() >> 8)};
  p.insert(p.end(), token.begin(), token.end());
  p.push_back(static_cast<std::uint8_t>(name.size()));
  p.push_back(static_cast<std::uint8_t>(name.size() >> 8));
  p.insert(p.end(), name.begin(), name.end());
  return p;
}

TEST(FolderShareReading, FieldsTokenAndCutShortPayloads) {
  const auto full = read_folder_share(share_payload(1, "00ffAB", "My%20Photos"));
  ASSERT_TRUE(full);
  EXPECT_TRUE(full->read_only);
  EXPECT_EQ(full->token, "00ffAB");
  EXPECT_EQ(full->name, "My%20Photos");

  std::vector<std::uint8_t> trailing = share_payload(0, "", "x");
  trailing.push_back(0x55);  // bytes after the name are ignored
  const auto extra = read_folder_share(trailing);
  ASSERT_TRUE(extra);
  EXPECT_FALSE(extra->read_only);
  EXPECT_EQ(extra->token, "");
  EXPECT_EQ(extra->name, "x");

  // Stop sharing: empty name.
  ASSERT_TRUE(read_folder_share(share_payload(0, "ab", "")));

  // A letter after f, or any other character, makes the token unacceptable.
  EXPECT_FALSE(read_folder_share(share_payload(0, "abg1", "x")));
  EXPECT_FALSE(read_folder_share(share_payload(0, "ab 1", "x")));

  // Every cut of a valid payload short of its name's end is ignored.
  const std::vector<std::uint8_t> whole = share_payload(0, "abcd", "name");
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    EXPECT_FALSE(read_folder_share({whole.begin(), whole.begin() + cut})) << "cut at " << cut;
  }
}

}  // namespace
}  // namespace tolvi
