#include "video/stream_config.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tolvi {
namespace {

struct Case {
  std::int32_t desktop_w, desktop_h, view_w, view_h;
  std::uint8_t codec_mask;
  std::uint16_t fps;
  std::int32_t max_kbps;
  StreamSize stream;
  std::int32_t expected_fps, kbps;
  std::uint64_t limit;
};

TEST(StreamConfig, SizeRateAndCongestionLimitFollowTheClientAndTheDesktop) {
  const Case cases[] = {
      {2560, 1440, 1920, 1200, 3, 60, 0, {1920, 1080}, 60, 6842, 131072},
      {1920, 1080, 2732, 2048, 1, 60, 0, {1920, 1080}, 60, 9953, 155515},
      // No view yet (or a negative one) counts as 64 x 64: the smallest 16:9 stream.
      {1920, 1080, 0, 0, 1, 30, 0, {64, 36}, 30, 2000, 131072},
      {1920, 1080, -5, -700, 1, 30, 0, {64, 36}, 30, 2000, 131072},
      // A view larger than the desktop keeps the desktop size, rounded down to even.
      {1365, 768, 4000, 4000, 3, 60, 0, {1364, 768}, 60, 3456, 131072},
      {3840, 2160, 3840, 2160, 3, 60, 0, {3840, 2160}, 60, 27371, 427671},
      // Frame rates outside 1..240 are brought inside.
      {1920, 1080, 1920, 1080, 1, 0, 0, {1920, 1080}, 1, 2000, 131072},
      {1920, 1080, 1920, 1080, 1, 1000, 0, {1920, 1080}, 240, 39813, 622078},
      // The automatic rate stops at 60,000; the client's own cap is taken as it is.
      {3840, 2160, 3840, 2160, 1, 240, 0, {3840, 2160}, 240, 60000, 937500},
      {1920, 1080, 1920, 1080, 1, 60, 100000, {1920, 1080}, 60, 100000, 1562500},
      // Caps beyond what the encoder takes are clamped: one whose bit/s overflow 32 bits, the
      // largest, and a negative one.
      {1920, 1080, 1920, 1080, 1, 60, 4294968, {1920, 1080}, 60, 2863311, 44739234},
      {1920, 1080, 1920, 1080, 1, 60, 0x7fffffff, {1920, 1080}, 60, 2863311, 44739234},
      {1920, 1080, 1920, 1080, 1, 60, -5, {1920, 1080}, 60, 1, 131072},
      // Extremely thin desktops still give at least 2 pixels.
      {4000, 10, 64, 64, 1, 60, 0, {64, 2}, 60, 2000, 131072},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.desktop_w) + "x" + std::to_string(c.desktop_h) + " view " +
                 std::to_string(c.view_w) + "x" + std::to_string(c.view_h) + " fps " +
                 std::to_string(c.fps));
    ClientConfig config;
    config.width = c.view_w;
    config.height = c.view_h;
    config.codec_mask = c.codec_mask;
    config.fps = c.fps;
    config.max_kbps = c.max_kbps;
    const StreamSize size = stream_size(c.desktop_w, c.desktop_h, config);
    EXPECT_EQ(size, c.stream);
    EXPECT_EQ(stream_fps(config), c.expected_fps);
    const std::int32_t kbps = stream_kbps(config, size.width, size.height, stream_fps(config));
    EXPECT_EQ(kbps, c.kbps);
    EXPECT_EQ(congestion_limit_for(kbps), c.limit);
  }
}

TEST(StreamConfig, OnlyAPositiveViewAndScaleAskForDisplayMatching) {
  struct MatchCase {
    const char* what;
    bool match;
    std::int32_t width, height;
    double scale;
    bool wanted;
  };
  const MatchCase cases[] = {
      {"a view at scale 1", true, 1920, 1200, 1.0, true},
      {"the smallest view at a small scale", true, 1, 1, 0.01, true},
      {"not asked", false, 1920, 1200, 1.0, false},
      {"no view yet", true, 0, 0, 1.0, false},
      {"no width", true, 0, 1200, 1.0, false},
      {"no height", true, 1920, 0, 1.0, false},
      {"negative size", true, -1920, -1200, 1.0, false},
      {"negative width", true, -1, 1200, 2.0, false},
      {"scale 0", true, 1920, 1200, 0.0, false},
      {"scale not a number", true, 1920, 1200, std::nan(""), false},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.what);
    ClientConfig config;
    config.match_resolution = c.match;
    config.width = c.width;
    config.height = c.height;
    config.scale = c.scale;
    EXPECT_EQ(wants_display_match(config), c.wanted);
  }
}

TEST(StreamConfig, StreamInfoIsCodecThenFourLittleEndianSizes) {
  const std::vector<std::uint8_t> expected = {2,    0x80, 0x07, 0, 0,    0x38, 0x04, 0, 0,
                                              0x00, 0x0A, 0,    0, 0xA0, 0x05, 0,    0};
  EXPECT_EQ(stream_info_payload(true, {1920, 1080}, 2560, 1440), expected);
  EXPECT_EQ(stream_info_payload(false, {2, 2}, 2, 2)[0], 1);
}

}  // namespace
}  // namespace tolvi
