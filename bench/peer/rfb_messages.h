#pragma once
// The server side of RFB 3.8 as far as a benchmark client needs it: the handshake, and the
// server's messages walked far enough to know where each ends. Rectangles are skipped, never
// decoded. Everything works on the bytes received so far: a message that is not complete yet
// asks for more, and nothing is consumed until it is.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tolvi::bench {

// Encodings the client asks for, and the pseudo-encodings it can meet.
constexpr std::int32_t kRfbRaw = 0;
constexpr std::int32_t kRfbCopyRect = 1;
constexpr std::int32_t kRfbTight = 7;
constexpr std::int32_t kRfbZrle = 16;
constexpr std::int32_t kRfbJpegQuality0 = -32;        // -32 + quality (0..9)
constexpr std::int32_t kRfbCompressionLevel0 = -256;  // -256 + level (0..9)
constexpr std::int32_t kRfbLastRect = -224;
constexpr std::int32_t kRfbDesktopSize = -223;

enum class RfbStatus { kNeedMore, kDone, kError };

struct RfbStep {
  RfbStatus status = RfbStatus::kNeedMore;
  std::size_t consumed = 0;
  std::string error;  // with kError
};

// The security types the server offers (after the version), or the reason it refuses.
struct RfbSecurityTypes {
  std::vector<std::uint8_t> types;
  std::string refusal;  // when types is empty
};
RfbStep parse_security_types(std::span<const std::uint8_t> in, RfbSecurityTypes& out);

// The security result (3.8: always sent, for None too): 0 is success.
struct RfbSecurityResult {
  std::uint32_t code = 0;
  std::string reason;
};
RfbStep parse_security_result(std::span<const std::uint8_t> in, RfbSecurityResult& out);

struct RfbServerInit {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::string name;
};
RfbStep parse_server_init(std::span<const std::uint8_t> in, RfbServerInit& out);

// One server-to-client message. The pixel format is the one the client set: 32 bits a pixel,
// depth 24, true colour (so Tight's compact pixels are 3 bytes).
struct RfbServerMessage {
  std::uint8_t type = 0;  // 0 update, 1 colour map, 2 bell, 3 cut text
  std::uint16_t rectangles = 0;
  std::uint64_t pixels = 0;  // the area the update's rectangles cover
  bool resized = false;      // a DesktopSize rectangle came with it
  std::uint16_t width = 0;   // the new size then
  std::uint16_t height = 0;
};
RfbStep parse_server_message(std::span<const std::uint8_t> in, RfbServerMessage& out);

// Client messages.
std::vector<std::uint8_t> rfb_set_pixel_format_32();
std::vector<std::uint8_t> rfb_set_encodings(std::span<const std::int32_t> encodings);
std::vector<std::uint8_t> rfb_update_request(bool incremental, std::uint16_t width,
                                             std::uint16_t height);

}  // namespace tolvi::bench
