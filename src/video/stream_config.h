#pragma once
#include <cstdint>
#include <vector>

#include "protocol/host_messages.h"
#include "video/client_config.h"

namespace tolvi {

// The numbers a stream is built with, derived from the client's configuration and the
// desktop's size.

constexpr std::int32_t kMinViewSide = 64;  // smaller client views count as this
constexpr std::int32_t kMinStreamSide = 2;
constexpr std::uint16_t kMaxStreamFps = 240;
constexpr double kH264BitsPerPixel = 0.08;
constexpr double kHevcBitsPerPixel = 0.055;
constexpr double kMinAutoKbps = 2000;
constexpr double kMaxAutoKbps = 60000;
// A client's own cap is kept within what the encoder takes: at least 1 kbit/s, and at most
// the rate whose peak (1.5 times the mean, in bit/s) still fits the encoder's 32-bit settings.
constexpr std::int32_t kMinClientKbps = 1;
constexpr std::int32_t kMaxClientKbps = 2863311;  // 0xffffffff / 1500
// The congestion limit is an eighth of a second of the capped bit rate (kbps x 1000 / 8 bits
// / 8), never below 128 KiB.
constexpr std::uint64_t kCongestionFloorBytes = 131072;
constexpr std::uint64_t kCongestionDivisor = 64;
constexpr std::uint8_t kCodecBitH264 = 1;
constexpr std::uint8_t kCodecBitHevc = 2;

struct StreamSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool operator==(const StreamSize&) const = default;
};

// The largest even size with the desktop's aspect ratio that fits the client's view and is
// never larger than the desktop itself; at least 2 x 2.
StreamSize stream_size(std::int32_t desktop_width, std::int32_t desktop_height,
                       const ClientConfig& config);

// True when the client asks the host to match its display with a view that can be matched:
// a positive width and height and a positive scale. A view of no size or a scale of 0 would
// pick the smallest mode and the largest scaling, so such a request counts as not asking.
bool wants_display_match(const ClientConfig& config);

// 0 counts as 1, above 240 as 240.
std::int32_t stream_fps(const ClientConfig& config);

// The client's cap when it gave one (unclamped); otherwise pixels per second times bits per
// pixel (by the client's HEVC bit), clamped to 2,000..60,000 kbit/s.
std::int32_t stream_kbps(const ClientConfig& config, std::int32_t width, std::int32_t height,
                         std::int32_t fps);

std::uint64_t congestion_limit_for(std::int32_t kbps);

// StreamInfo payload: codec (1 H.264, 2 HEVC), stream width, height, desktop width, height
// (unsigned 32-bit, little-endian).
std::vector<std::uint8_t> stream_info_payload(bool hevc, StreamSize stream,
                                              std::int32_t desktop_width,
                                              std::int32_t desktop_height);

}  // namespace tolvi
