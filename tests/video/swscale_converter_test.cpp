#include <gtest/gtest.h>

#include <vector>

#include "platform/converter.h"

namespace tolvi::platform {
namespace {

DesktopImage solid(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  DesktopImage image;
  image.resize(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = image.row(y) + x * 4;
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = 0;  // as the X server leaves it
    }
  }
  return image;
}

struct Yuv {
  int y, u, v;
  bool operator==(const Yuv&) const = default;
};
void PrintTo(const Yuv& c, std::ostream* os) { *os << c.y << "/" << c.u << "/" << c.v; }

Yuv at(const Nv12Image& image, int x, int y) {
  const std::uint8_t* uv = image.uv_plane() + (y / 2) * image.width + (x / 2) * 2;
  return {image.y_plane()[y * image.width + x], uv[0], uv[1]};
}

TEST(SwscaleConverter, Bt709StudioRangeColoursAtOneToOneAndScaled) {
  struct Colour {
    const char* name;
    std::uint8_t r, g, b;
    Yuv expected;
  };
  const Colour colours[] = {
      {"white", 255, 255, 255, {235, 128, 128}},
      {"black", 0, 0, 0, {16, 128, 128}},
      {"red", 255, 0, 0, {63, 102, 240}},  // BT.601 would give 81/90/240
  };
  struct Size {
    int sw, sh, tw, th;
  };
  const Size sizes[] = {{640, 360, 640, 360}, {1920, 1080, 1280, 720}, {1365, 768, 1364, 768}};
  auto converter = make_video_converter();
  ASSERT_TRUE(converter);
  for (const Size& s : sizes) {
    ASSERT_TRUE(converter->init(s.sw, s.sh, s.tw, s.th, 60));
    for (const Colour& c : colours) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(s.sw) + "->" + std::to_string(s.tw));
      Nv12Image target;
      ASSERT_TRUE(converter->convert(solid(s.sw, s.sh, c.r, c.g, c.b), target));
      ASSERT_EQ(target.width, s.tw);
      ASSERT_EQ(target.height, s.th);
      EXPECT_EQ(at(target, 0, 0), c.expected);
      EXPECT_EQ(at(target, s.tw / 2, s.th / 2), c.expected);
      EXPECT_EQ(at(target, s.tw - 1, s.th - 1), c.expected);
    }
  }
}

TEST(SwscaleConverter, OneToOneKeepsAThinLineAtTheRightEdge) {
  auto converter = make_video_converter();
  ASSERT_TRUE(converter->init(1920, 1080, 1920, 1080, 60));
  DesktopImage image = solid(1920, 1080, 0, 0, 0);
  for (int y = 0; y < 1080; ++y) {
    std::uint8_t* p = image.row(y) + 1915 * 4;
    p[0] = p[1] = p[2] = 255;
  }
  Nv12Image target;
  ASSERT_TRUE(converter->convert(image, target));
  EXPECT_EQ(at(target, 1915, 540).y, 235);
  EXPECT_EQ(at(target, 1914, 540).y, 16);
  EXPECT_EQ(at(target, 1916, 540).y, 16);
}

TEST(SwscaleConverter, ScalingShowsTheWholeDesktop) {
  // A white block in the bottom-right corner of the desktop ends in the stream's corner.
  auto converter = make_video_converter();
  ASSERT_TRUE(converter->init(2560, 1440, 1920, 1080, 60));
  DesktopImage image = solid(2560, 1440, 0, 0, 0);
  for (int y = 1440 - 40; y < 1440; ++y) {
    for (int x = 2560 - 40; x < 2560; ++x) {
      std::uint8_t* p = image.row(y) + x * 4;
      p[0] = p[1] = p[2] = 255;
    }
  }
  Nv12Image target;
  ASSERT_TRUE(converter->convert(image, target));
  EXPECT_EQ(at(target, 1919 - 10, 1079 - 10).y, 235);  // 40 px become 30
  EXPECT_EQ(at(target, 1919 - 40, 1079 - 40).y, 16);
}

TEST(SwscaleConverter, RefusesWrongSizes) {
  auto converter = make_video_converter();
  EXPECT_FALSE(converter->init(640, 360, 641, 360, 60));  // odd target
  EXPECT_FALSE(converter->init(0, 360, 640, 360, 60));
  Nv12Image target;
  EXPECT_FALSE(converter->convert(solid(64, 64, 0, 0, 0), target));  // before init
  ASSERT_TRUE(converter->init(640, 360, 320, 180, 60));
  EXPECT_FALSE(converter->convert(solid(64, 64, 0, 0, 0), target));  // not the init size
}

}  // namespace
}  // namespace tolvi::platform
