#include "tray/tray_picture.h"

#include <gtest/gtest.h>

namespace tolvi {
namespace {

struct Rect {
  int x0, x1, y0, y1;
};

// The picture painted from pixel rectangles, in the drawing order, as the reference.
std::vector<std::uint32_t> paint(int size, const Rect (&rects)[4], std::uint32_t screen) {
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) * size, 0);
  const std::uint32_t colours[4] = {kPictureFrame, screen, kPictureFrame, kPictureFrame};
  for (int i = 0; i < 4; ++i) {
    for (int y = rects[i].y0; y < rects[i].y1; ++y) {
      for (int x = rects[i].x0; x < rects[i].x1; ++x) pixels[y * size + x] = colours[i];
    }
  }
  return pixels;
}

TEST(TrayPicture, PixelRectanglesAtEachSize) {
  struct Case {
    int size;
    Rect rects[4];  // frame, screen, neck, base
  } cases[] = {
      {16, {{1, 15, 2, 12}, {2, 14, 3, 11}, {7, 9, 12, 14}, {4, 12, 14, 15}}},
      {20, {{1, 19, 3, 15}, {3, 18, 4, 14}, {9, 11, 15, 18}, {5, 15, 18, 19}}},
      {24, {{2, 23, 3, 18}, {3, 21, 5, 17}, {11, 14, 18, 21}, {6, 18, 21, 23}}},
      {32, {{2, 30, 4, 24}, {4, 28, 6, 22}, {14, 18, 24, 28}, {8, 24, 28, 30}}},
  };
  const std::pair<StatusKind, std::uint32_t> screens[] = {{StatusKind::Waiting, 0xFF3A3F47},
                                                          {StatusKind::Connected, 0xFF2EB84A},
                                                          {StatusKind::Error, 0xFFD04040}};
  for (const auto& c : cases) {
    for (const auto& [kind, colour] : screens) {
      SCOPED_TRACE(c.size);
      EXPECT_EQ(draw_tray_picture(c.size, kind), paint(c.size, c.rects, colour));
    }
  }
}

TEST(TrayPicture, SizeFollowsTheSmallIconMetricFrom17) {
  const std::pair<int, int> cases[] = {{12, 16}, {16, 16}, {17, 17}, {20, 20}, {32, 32}, {0, 16}};
  for (const auto& [metric, size] : cases) EXPECT_EQ(tray_picture_size(metric), size) << metric;
}

TEST(TrayPicture, CornersStayTransparentAndTinySizesDoNotOverrun) {
  for (int size : {1, 2, 3, 7, 64}) {
    const auto pixels = draw_tray_picture(size, StatusKind::Connected);
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(size * size));
    if (size >= kMinIconSize) {
      EXPECT_EQ(pixels[0], 0u) << size;
    }
  }
}

}  // namespace
}  // namespace tolvi
