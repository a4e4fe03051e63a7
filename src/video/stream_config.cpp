#include "video/stream_config.h"

#include <algorithm>
#include <cmath>

namespace tolvi {
namespace {

// Rounded half away from zero, lowest bit cleared, 2 when that leaves less than 3.
std::int32_t even_side(double value) {
  const auto rounded = static_cast<std::int64_t>(std::round(value)) & ~std::int64_t{1};
  return rounded < 3 ? kMinStreamSide : static_cast<std::int32_t>(rounded);
}

}  // namespace

StreamSize stream_size(std::int32_t desktop_width, std::int32_t desktop_height,
                       const ClientConfig& config) {
  const double dw = desktop_width;
  const double dh = desktop_height;
  const double cw = std::max(config.width, kMinViewSide);
  const double ch = std::max(config.height, kMinViewSide);
  // A desktop of no size (never reported by a working duplication) must not divide by zero.
  if (dw <= 0 || dh <= 0) return {kMinStreamSide, kMinStreamSide};
  const double f = std::min({cw / dw, ch / dh, 1.0});
  return {even_side(f * dw), even_side(f * dh)};
}

bool wants_display_match(const ClientConfig& config) {
  // Written so that a scale that is not a number does not match either.
  return config.match_resolution && config.width > 0 && config.height > 0 && config.scale > 0;
}

std::int32_t stream_fps(const ClientConfig& config) {
  if (config.fps == 0) return 1;
  return std::min(config.fps, kMaxStreamFps);
}

std::int32_t stream_kbps(const ClientConfig& config, std::int32_t width, std::int32_t height,
                         std::int32_t fps) {
  if (config.max_kbps != 0) return std::clamp(config.max_kbps, kMinClientKbps, kMaxClientKbps);
  const double bpp = (config.codec_mask & kCodecBitHevc) ? kHevcBitsPerPixel : kH264BitsPerPixel;
  const double kbps = static_cast<double>(width) * height * std::max(fps, 1) * bpp / 1000.0;
  return static_cast<std::int32_t>(std::clamp(kbps, kMinAutoKbps, kMaxAutoKbps));
}

std::uint64_t congestion_limit_for(std::int32_t kbps) {
  // Unsigned 64-bit as the limit is defined; a negative cap wraps to a huge limit, which only
  // means frames are never held back.
  const std::uint64_t bytes =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(kbps)) * 1000 / kCongestionDivisor;
  return std::max(kCongestionFloorBytes, bytes);
}

std::vector<std::uint8_t> stream_info_payload(bool hevc, StreamSize stream,
                                              std::int32_t desktop_width,
                                              std::int32_t desktop_height) {
  return write_stream_info(
      hevc ? kStreamCodecHevc : kStreamCodecH264, static_cast<std::uint32_t>(stream.width),
      static_cast<std::uint32_t>(stream.height), static_cast<std::uint32_t>(desktop_width),
      static_cast<std::uint32_t>(desktop_height));
}

}  // namespace tolvi
