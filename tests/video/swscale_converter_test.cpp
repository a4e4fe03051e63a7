#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <string>
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

void fill_noise(DesktopImage& image, const DesktopRect& area, std::mt19937& random) {
  for (int y = area.top; y < area.bottom; ++y) {
    std::uint8_t* p = image.row(y);
    for (int x = area.left; x < area.right; ++x) {
      const std::uint32_t bits = random();
      p[x * 4] = static_cast<std::uint8_t>(bits);
      p[x * 4 + 1] = static_cast<std::uint8_t>(bits >> 8);
      p[x * 4 + 2] = static_cast<std::uint8_t>(bits >> 16);
      p[x * 4 + 3] = 0;
    }
  }
}

// Pixel for pixel, every Y is the formula's for its pixel and every U, V pair the formula's for
// the mean of its 2x2 block, to within a level (ties of the fixed-point rounding), on noise and
// on a size whose rows are no multiple of the vector width.
TEST(SwscaleConverter, OneToOneFollowsTheFormulaOnNoise) {
  std::mt19937 random(23);
  for (const auto& [w, h] : {std::pair{1920, 1080}, {1366, 766}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    auto converter = make_video_converter();
    ASSERT_TRUE(converter->init(w, h, w, h, 60));
    DesktopImage image;
    image.resize(w, h);
    fill_noise(image, {0, 0, w, h}, random);
    Nv12Image target;
    ASSERT_TRUE(converter->convert(image, target));
    const auto luma = [](double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; };
    int worst = 0;
    for (int y = 0; y < h; y += 2) {
      for (int x = 0; x < w; x += 2) {
        double r = 0, g = 0, b = 0;
        for (const auto& [dx, dy] : {std::pair{0, 0}, {1, 0}, {0, 1}, {1, 1}}) {
          const std::uint8_t* p = image.row(y + dy) + (x + dx) * 4;
          const double expected_y = 16 + 219.0 / 255 * luma(p[2], p[1], p[0]);
          worst = std::max(worst, std::abs(at(target, x + dx, y + dy).y -
                                           static_cast<int>(std::lround(expected_y))));
          r += p[2] / 4.0;
          g += p[1] / 4.0;
          b += p[0] / 4.0;
        }
        const double expected_u = 128 + 224.0 / 255 * (b - luma(r, g, b)) / 1.8556;
        const double expected_v = 128 + 224.0 / 255 * (r - luma(r, g, b)) / 1.5748;
        const Yuv c = at(target, x, y);
        worst = std::max({worst, std::abs(c.u - static_cast<int>(std::lround(expected_u))),
                          std::abs(c.v - static_cast<int>(std::lround(expected_v)))});
      }
    }
    EXPECT_LE(worst, 1);
  }
}

// A desktop twice the stream's size: each stream pixel is the mean of the 2x2 block it covers
// (single black and white pixels in a checkerboard give an even grey, where picking pixels
// gives black or white stripes), plain colours stay exact, and the whole desktop reaches the
// stream.
TEST(SwscaleConverter, ADesktopTwiceTheStreamsSizeIsAveragedAndShownWhole) {
  struct Size {
    int sw, sh, tw, th;
  };
  const Size sizes[] = {{3840, 2160, 1920, 1080}, {2732, 1536, 1366, 768}};
  auto converter = make_video_converter();
  for (const Size& s : sizes) {
    SCOPED_TRACE(std::to_string(s.sw) + "x" + std::to_string(s.sh) + "->" + std::to_string(s.tw) +
                 "x" + std::to_string(s.th));
    ASSERT_TRUE(converter->init(s.sw, s.sh, s.tw, s.th, 60));
    DesktopImage image = solid(s.sw, s.sh, 0, 0, 0);
    for (int y = 0; y < s.sh; ++y) {
      for (int x = (y % 2); x < s.sw; x += 2) std::fill_n(image.row(y) + x * 4, 3, 255);
    }
    Nv12Image target;
    ASSERT_TRUE(converter->convert(image, target));
    ASSERT_EQ(target.width, s.tw);
    ASSERT_EQ(target.height, s.th);
    for (const auto& [x, y] : {std::pair{0, 0}, {s.tw / 2 + 1, s.th / 2 + 1}, {s.tw - 1, s.th - 1}}) {
      const Yuv c = at(target, x, y);
      EXPECT_TRUE(c.y >= 125 && c.y <= 126 && c.u == 128 && c.v == 128) << c.y << "/" << c.u
                                                                         << "/" << c.v;
    }
    ASSERT_TRUE(converter->convert(solid(s.sw, s.sh, 255, 0, 0), target));
    EXPECT_EQ(at(target, s.tw / 2, s.th / 2), (Yuv{63, 102, 240}));

    // A white block in the desktop's bottom-right corner ends in the stream's corner.
    image = solid(s.sw, s.sh, 0, 0, 0);
    for (int y = s.sh - 40; y < s.sh; ++y) std::fill_n(image.row(y) + (s.sw - 40) * 4, 160, 255);
    ASSERT_TRUE(converter->convert(image, target));
    EXPECT_EQ(at(target, s.tw - 4, s.th - 4).y, 235);
    EXPECT_EQ(at(target, s.tw - 40, s.th - 40).y, 16);
  }
}

// Converting only the changed area into the previous picture's conversion gives exactly what
// a whole conversion of the new picture gives: at the edges, on odd rows and columns, 1:1 and
// scaled.
TEST(SwscaleConverter, AChangedAreaConvertsLikeTheWholePicture) {
  struct Size {
    int sw, sh, tw, th;
  };
  const Size sizes[] = {{640, 360, 640, 360},   {1920, 1080, 1920, 1080}, {1366, 766, 1366, 766},
                        {1366, 768, 1280, 720}, {1920, 1080, 1280, 720},  {2560, 1440, 1920, 1080},
                        {1365, 767, 1364, 766}, {320, 180, 640, 360}};
  struct Area {
    const char* name;
    // Negative: from the right or bottom edge; a right or bottom of 0: the edge itself.
    int left, top, right, bottom;
  };
  const Area areas[] = {{"first row", 0, 0, 0, 1},     {"last row", 0, -1, 0, 0},
                        {"odd row", 0, 101, 0, 102},   {"odd band", 0, 33, 0, 67},
                        {"bottom band", 0, -45, 0, 0}, {"even pair", 0, 120, 0, 122},
                        {"top band", 0, 0, 0, 31},     {"first column", 0, 0, 1, 0},
                        {"last column", -1, 0, 0, 0},  {"odd column", 101, 0, 102, 0},
                        {"odd box", 65, 33, 131, 67},  {"bottom-right box", -70, -45, 0, 0},
                        {"one pixel", 63, 17, 64, 18}};
  auto converter = make_video_converter();
  std::mt19937 random(17);
  for (const Size& s : sizes) {
    ASSERT_TRUE(converter->init(s.sw, s.sh, s.tw, s.th, 60));
    DesktopImage before;
    before.resize(s.sw, s.sh);
    fill_noise(before, {0, 0, s.sw, s.sh}, random);
    Nv12Image previous;
    ASSERT_TRUE(converter->convert(before, previous));
    for (const Area& a : areas) {
      const auto from_edge = [](int value, int size) { return value < 0 ? size + value : value; };
      const DesktopRect area{from_edge(a.left, s.sw), from_edge(a.top, s.sh),
                             a.right == 0 ? s.sw : from_edge(a.right, s.sw),
                             a.bottom == 0 ? s.sh : from_edge(a.bottom, s.sh)};
      SCOPED_TRACE(std::string(a.name) + " " + std::to_string(s.sw) + "x" + std::to_string(s.sh) +
                   "->" + std::to_string(s.tw) + "x" + std::to_string(s.th));
      DesktopImage after = before;
      fill_noise(after, area, random);
      Nv12Image whole;
      ASSERT_TRUE(converter->convert(after, whole));
      Nv12Image partial = previous;
      ASSERT_TRUE(converter->convert_area(after, partial, area));
      ASSERT_TRUE(whole.data != previous.data);  // the area shows in the picture
      EXPECT_TRUE(partial.data == whole.data);
    }
  }
}

// Areas of many widths one after the other (more sizes than the converter keeps ready, and
// back to the first ones) are each converted exactly.
TEST(SwscaleConverter, AreasOfManyWidthsInTurnConvertExactly) {
  auto converter = make_video_converter();
  ASSERT_TRUE(converter->init(1920, 1080, 1920, 1080, 60));
  std::mt19937 random(5);
  DesktopImage image;
  image.resize(1920, 1080);
  fill_noise(image, {0, 0, 1920, 1080}, random);
  Nv12Image partial;
  ASSERT_TRUE(converter->convert(image, partial));
  for (int round = 0; round < 2; ++round) {
    for (int width = 30; width <= 1400; width += 110) {
      const DesktopRect area{7 + width / 3, 40 + width / 5, 7 + width / 3 + width, 75 + width / 5};
      fill_noise(image, area, random);
      Nv12Image whole;
      ASSERT_TRUE(converter->convert(image, whole));
      ASSERT_TRUE(converter->convert_area(image, partial, area));
      EXPECT_TRUE(partial.data == whole.data) << "width " << width << " round " << round;
    }
  }
}

TEST(SwscaleConverter, ConvertingAnEmptyAreaKeepsTheTargetAndAFreshTargetIsWhole) {
  auto converter = make_video_converter();
  ASSERT_TRUE(converter->init(640, 360, 640, 360, 60));
  const DesktopImage white = solid(640, 360, 255, 255, 255);
  Nv12Image target;
  ASSERT_TRUE(converter->convert_area(white, target, {0, 10, 640, 12}));  // nothing to keep yet
  EXPECT_EQ(at(target, 0, 0), (Yuv{235, 128, 128}));
  EXPECT_EQ(at(target, 639, 359), (Yuv{235, 128, 128}));
  ASSERT_TRUE(converter->convert_area(solid(640, 360, 0, 0, 0), target, {0, 50, 640, 50}));
  EXPECT_EQ(at(target, 320, 50), (Yuv{235, 128, 128}));
  EXPECT_FALSE(converter->convert_area(solid(64, 64, 0, 0, 0), target, {0, 0, 64, 64}));
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
