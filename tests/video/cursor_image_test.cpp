#include "video/cursor_image.h"

#include <gtest/gtest.h>

#include <array>

namespace tolvi {
namespace {

using platform::PointerShapeInfo;
using platform::PointerShapeType;
using Rgba = std::array<std::uint8_t, 4>;

constexpr Rgba kClear{0, 0, 0, 0};
constexpr Rgba kBlack{0, 0, 0, 255};
constexpr Rgba kWhite{255, 255, 255, 255};
constexpr Rgba kHalo{255, 255, 255, 200};

// A decoded payload: header fields and pixels.
struct Cursor {
  explicit Cursor(const std::vector<std::uint8_t>& p)
      : w(p[0] | p[1] << 8),
        h(p[2] | p[3] << 8),
        hot_x(p[4] | p[5] << 8),
        hot_y(p[6] | p[7] << 8),
        payload(p) {}
  Rgba at(int x, int y) const {
    const std::size_t i = kCursorHeaderBytes + (static_cast<std::size_t>(y) * w + x) * 4;
    return {payload[i], payload[i + 1], payload[i + 2], payload[i + 3]};
  }
  int w, h, hot_x, hot_y;
  std::vector<std::uint8_t> payload;
};

PointerShapeInfo shape(PointerShapeType type, std::uint32_t w, std::uint32_t h, std::uint32_t pitch,
                       std::int32_t hot_x = 0, std::int32_t hot_y = 0) {
  PointerShapeInfo info;
  info.type = type;
  info.width = w;
  info.height = h;
  info.pitch = pitch;
  info.hot_x = hot_x;
  info.hot_y = hot_y;
  return info;
}

TEST(CursorImage, MonochromeHalvesTheHeightAndMapsTheFourMaskCombinations) {
  // 32 x 64: an AND mask of 32 rows, then an XOR mask of 32 rows, 4 bytes per row.
  std::vector<std::uint8_t> bits(4 * 64, 0);
  // Row 0: pixel 0 AND 0 XOR 0 (black), pixel 1 AND 0 XOR 1 (white), pixel 2 AND 1 XOR 0
  // (transparent), pixel 3 AND 1 XOR 1 (inverted). Everything else black.
  bits[0] = 0x30;       // AND bits of pixels 2 and 3
  bits[32 * 4] = 0x50;  // XOR bits of pixels 1 and 3
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(build_cursor_shape(shape(PointerShapeType::kMonochrome, 32, 64, 4), bits, payload));
  const Cursor c(payload);
  EXPECT_EQ(c.w, 32);
  EXPECT_EQ(c.h, 32);
  EXPECT_EQ(payload.size(), kCursorHeaderBytes + 32 * 32 * 4);
  EXPECT_EQ(c.at(0, 0), kBlack);
  EXPECT_EQ(c.at(1, 0), kWhite);
  // The transparent pixel next to the inverted one carries its halo.
  EXPECT_EQ(c.at(2, 0), kHalo);
  EXPECT_EQ(c.at(3, 0), kBlack);
  EXPECT_EQ(c.at(5, 5), kBlack);
}

TEST(CursorImage, ColourKeepsStraightAlphaAndMaskedColourInvertsWithAHalo) {
  // Colour, 2 x 1: B, G, R, A in, R, G, B, A out.
  std::vector<std::uint8_t> colour = {10, 20, 30, 128, 1, 2, 3, 0};
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(build_cursor_shape(shape(PointerShapeType::kColor, 2, 1, 8), colour, payload));
  EXPECT_EQ(Cursor(payload).at(0, 0), (Rgba{30, 20, 10, 128}));
  EXPECT_EQ(Cursor(payload).at(1, 0), (Rgba{3, 2, 1, 0}));

  // Masked colour, 4 x 3 with a padded pitch: M = 0 is opaque; M != 0 with black is
  // transparent; M != 0 with a colour inverts. The inverted pixel sits at (1, 1).
  const std::uint32_t pitch = 4 * 4 + 4;
  std::vector<std::uint8_t> masked(pitch * 3, 0);
  auto put = [&](int x, int y, std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t m) {
    std::uint8_t* p = &masked[y * pitch + 4 * x];
    p[0] = b, p[1] = g, p[2] = r, p[3] = m;
  };
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) put(x, y, 0, 0, 0, 0xFF);  // transparent
  }
  put(3, 2, 5, 6, 7, 0);           // opaque colour, next to nothing inverted
  put(0, 0, 0, 0, 0, 0);           // opaque black, a neighbour of the inverted pixel
  put(1, 1, 255, 255, 255, 0xFF);  // inverted
  ASSERT_TRUE(
      build_cursor_shape(shape(PointerShapeType::kMaskedColor, 4, 3, pitch), masked, payload));
  const Cursor c(payload);
  EXPECT_EQ(c.at(1, 1), kBlack);
  EXPECT_EQ(c.at(0, 0), kBlack);  // already opaque: no halo
  for (auto [x, y] : {std::pair{1, 0}, {2, 0}, {0, 1}, {2, 1}, {0, 2}, {1, 2}, {2, 2}}) {
    EXPECT_EQ(c.at(x, y), kHalo) << x << "," << y;
  }
  EXPECT_EQ(c.at(3, 0), kClear);  // not a neighbour
  EXPECT_EQ(c.at(3, 2), (Rgba{7, 6, 5, 255}));
}

TEST(CursorImage, HotSpotIsClampedIntoTheImage) {
  std::vector<std::uint8_t> pixels(32 * 32 * 4, 0);
  std::vector<std::uint8_t> payload;
  ASSERT_TRUE(
      build_cursor_shape(shape(PointerShapeType::kColor, 32, 32, 128, 40, 5), pixels, payload));
  EXPECT_EQ(Cursor(payload).hot_x, 31);
  EXPECT_EQ(Cursor(payload).hot_y, 5);
}

TEST(CursorImage, UnusableShapesLeaveThePayloadAlone) {
  struct Case {
    const char* what;
    PointerShapeInfo info;
    std::size_t buffer_bytes;
  };
  const Case cases[] = {
      {"300 wide", shape(PointerShapeType::kColor, 300, 32, 1200), 1200 * 32},
      {"no height", shape(PointerShapeType::kColor, 32, 0, 128), 128},
      {"monochrome of one row", shape(PointerShapeType::kMonochrome, 32, 1, 4), 4},
      {"257 high", shape(PointerShapeType::kColor, 4, 257, 16), 16 * 257},
      // The platform's buffer must hold every row the shape claims.
      {"short colour buffer", shape(PointerShapeType::kColor, 32, 32, 128), 128 * 31},
      {"short monochrome buffer", shape(PointerShapeType::kMonochrome, 32, 64, 4), 4 * 63},
      {"pitch beyond the buffer", shape(PointerShapeType::kMaskedColor, 8, 8, 4096), 32 * 8},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> buffer(c.buffer_bytes, 0xFF);
    std::vector<std::uint8_t> payload = {1, 2, 3};
    EXPECT_FALSE(build_cursor_shape(c.info, buffer, payload)) << c.what;
    EXPECT_EQ(payload, (std::vector<std::uint8_t>{1, 2, 3})) << c.what;
  }
}

}  // namespace
}  // namespace tolvi
