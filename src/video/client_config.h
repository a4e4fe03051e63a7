#pragma once
#include <cstdint>

namespace tolvi {

// The stream a client asks for with StreamConfig. Defaults: no size yet, scale 1.0, no mode
// matching, H.264 and HEVC, 60 frames per second, automatic bit rate.
struct ClientConfig {
  std::int32_t width = 0;
  std::int32_t height = 0;
  double scale = 1.0;
  bool match_resolution = false;
  std::uint8_t codec_mask = 3;  // bit 0 H.264, bit 1 HEVC
  std::uint16_t fps = 60;
  std::int32_t max_kbps = 0;  // 0: automatic

  // All seven fields; scale as a double, so a NaN never compares equal.
  bool operator==(const ClientConfig&) const = default;
};

}  // namespace tolvi
