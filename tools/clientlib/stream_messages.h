#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/host_messages.h"

namespace tolvi::client {

// Codes of StreamInfo's codec byte and StreamConfig's codec mask bits.
enum class VideoCodec : std::uint8_t { H264 = 1, Hevc = 2 };
constexpr std::uint8_t kCodecMaskH264 = 1;
constexpr std::uint8_t kCodecMaskHevc = 2;

const char* codec_name(VideoCodec codec);

// What the client asks for (StreamConfig, 18 bytes little-endian: width, height, scale
// percent, match flag, codec mask, fps, bit-rate cap).
struct StreamRequest {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint16_t scale_percent = 100;
  bool match_resolution = false;
  std::uint8_t codec_mask = kCodecMaskH264 | kCodecMaskHevc;
  std::uint16_t fps = 60;
  std::int32_t max_kbps = 0;  // 0: the host picks
};
std::vector<std::uint8_t> stream_config_payload(const StreamRequest& request);

// StreamInfo: 17 bytes, codec then four unsigned 32-bit sizes.
struct StreamInfo {
  VideoCodec codec = VideoCodec::H264;
  std::uint32_t stream_width = 0;
  std::uint32_t stream_height = 0;
  std::uint32_t desktop_width = 0;
  std::uint32_t desktop_height = 0;
};
// false for a short payload or an unknown codec byte.
bool parse_stream_info(const std::vector<std::uint8_t>& payload, StreamInfo& out);

// VideoFrame: key-frame byte, 8-byte frame time (the host's monotonic microseconds at
// capture), then one access unit in byte-stream form. The view points into the payload.
struct VideoFrameView {
  bool key = false;
  std::uint64_t time_us = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};
bool parse_video_frame(const std::vector<std::uint8_t>& payload, VideoFrameView& out);

// CursorShape: width, height, hot spot (2 bytes each), then width x height RGBA pixels.
// Eight zero bytes mean the pointer is hidden.
struct CursorShapeInfo {
  bool hidden = false;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint16_t hot_x = 0;
  std::uint16_t hot_y = 0;
};
// false when the header is short or the pixels do not match the size.
bool parse_cursor_shape(const std::vector<std::uint8_t>& payload, CursorShapeInfo& out);

// Whether an access unit in byte-stream form carries a sequence parameter set (H.264 NAL
// type 7, HEVC NAL type 33) after one of its start codes.
bool has_sequence_parameter_set(VideoCodec codec, const std::uint8_t* data, std::size_t size);

}  // namespace tolvi::client
