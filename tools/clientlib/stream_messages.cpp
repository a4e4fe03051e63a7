#include "stream_messages.h"

#include "base/little_endian.h"

namespace tolvi::client {
namespace {

constexpr std::uint8_t kH264SpsType = 7;
constexpr std::uint8_t kHevcSpsType = 33;

}  // namespace

const char* codec_name(VideoCodec codec) { return codec == VideoCodec::Hevc ? "HEVC" : "H.264"; }

std::vector<std::uint8_t> stream_config_payload(const StreamRequest& r) {
  std::vector<std::uint8_t> out;
  append_le(out, static_cast<std::uint32_t>(r.width));
  append_le(out, static_cast<std::uint32_t>(r.height));
  append_le(out, r.scale_percent);
  out.push_back(r.match_resolution ? 1 : 0);
  out.push_back(r.codec_mask);
  append_le(out, r.fps);
  append_le(out, static_cast<std::uint32_t>(r.max_kbps));
  return out;
}

bool parse_stream_info(const std::vector<std::uint8_t>& p, StreamInfo& out) {
  if (p.size() < kStreamInfoBytes) return false;
  if (p[0] != static_cast<std::uint8_t>(VideoCodec::H264) &&
      p[0] != static_cast<std::uint8_t>(VideoCodec::Hevc)) {
    return false;
  }
  out.codec = static_cast<VideoCodec>(p[0]);
  out.stream_width = load_le<std::uint32_t>(p.data() + 1);
  out.stream_height = load_le<std::uint32_t>(p.data() + 5);
  out.desktop_width = load_le<std::uint32_t>(p.data() + 9);
  out.desktop_height = load_le<std::uint32_t>(p.data() + 13);
  return true;
}

bool parse_video_frame(const std::vector<std::uint8_t>& p, VideoFrameView& out) {
  if (p.size() < kVideoFrameHeaderBytes) return false;
  out.key = p[0] != 0;
  out.time_us = load_le<std::uint64_t>(p.data() + 1);
  out.data = p.data() + kVideoFrameHeaderBytes;
  out.size = p.size() - kVideoFrameHeaderBytes;
  return true;
}

bool parse_cursor_shape(const std::vector<std::uint8_t>& p, CursorShapeInfo& out) {
  if (p.size() < kCursorHeaderBytes) return false;
  out.width = load_le<std::uint16_t>(p.data());
  out.height = load_le<std::uint16_t>(p.data() + 2);
  out.hot_x = load_le<std::uint16_t>(p.data() + 4);
  out.hot_y = load_le<std::uint16_t>(p.data() + 6);
  out.hidden = p.size() == kCursorHeaderBytes && out.width == 0 && out.height == 0 &&
               out.hot_x == 0 && out.hot_y == 0;
  if (out.hidden) return true;
  return p.size() == kCursorHeaderBytes + std::size_t{out.width} * out.height * 4;
}

bool has_sequence_parameter_set(VideoCodec codec, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const std::uint8_t header = data[i + 3];
    const std::uint8_t type = codec == VideoCodec::Hevc ? (header >> 1) & 0x3F : header & 0x1F;
    if (type == (codec == VideoCodec::Hevc ? kHevcSpsType : kH264SpsType)) return true;
    i += 2;
  }
  return false;
}

}  // namespace tolvi::client
