#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "rgb_image.h"
#include "stream_messages.h"
#include "video_decoder.h"

namespace tolvi::client {

// Figures of one received stream. Latency is receipt time minus the frame's capture time;
// both are monotonic microseconds of the same machine's clock.
struct StreamStats {
  std::uint64_t frames = 0;
  std::uint64_t key_frames = 0;
  std::uint64_t decoded = 0;
  std::uint64_t bytes = 0;  // access-unit bytes
  std::uint64_t first_receipt_us = 0;
  std::uint64_t last_receipt_us = 0;
  std::uint64_t time_regressions = 0;  // frames whose time is not above the previous one
  std::vector<std::int64_t> latencies_us;

  double seconds() const;  // first to last receipt
  double frames_per_second() const;
  double bits_per_second() const;
  // The q-quantile (0..1) of the latencies in milliseconds; 0 without frames.
  double latency_ms(double q) const;
  std::string summary() const;  // one line for people and scripts
};

// Takes the stream messages of a connection in order, checks them, decodes the pictures and
// keeps the figures. Used by tolvi-client and by the tests.
class StreamReceiver {
 public:
  struct Options {
    bool decode = true;
    bool hardware_decoding = false;  // VAAPI when there is a device
    // Keep every frame's latency for the percentiles; a viewer running for hours does not.
    bool keep_latencies = true;
    std::string snapshot_path;  // first decoded picture, PNG
    std::string record_path;    // every access unit, byte stream as received
  };
  explicit StreamReceiver(Options options);
  ~StreamReceiver();
  StreamReceiver(const StreamReceiver&) = delete;
  StreamReceiver& operator=(const StreamReceiver&) = delete;

  enum class Event { None, Info, Frame, Picture, Cursor, Error };
  // One host message; receipt_us is when it arrived (monotonic microseconds). Messages that
  // are not about the stream give None. Error: error() says why; the stream is unusable.
  Event handle(std::uint8_t type, const std::vector<std::uint8_t>& payload,
               std::uint64_t receipt_us);

  const std::optional<StreamInfo>& info() const { return info_; }
  // Points into the payload last handed to handle(): valid while that payload is.
  const VideoFrameView& last_frame() const { return last_frame_; }
  bool last_frame_has_sps() const { return last_frame_has_sps_; }
  const CursorShapeInfo& last_cursor() const { return last_cursor_; }
  const StreamStats& stats() const { return stats_; }
  // The newest decoded picture as RGB.
  bool picture(RgbImage& out) { return decoder_.picture_rgb(out); }
  const VideoDecoder& decoder() const { return decoder_; }
  const std::string& error() const { return error_; }
  // The error is this machine's (a file that cannot be written), not the host's stream.
  bool error_is_local() const { return error_is_local_; }

 private:
  Event fail(std::string why, bool local = false);
  Event on_frame(const std::vector<std::uint8_t>& payload, std::uint64_t receipt_us);

  Options options_;
  std::optional<StreamInfo> info_;
  VideoDecoder decoder_;
  bool frame_since_info_ = false;
  bool snapshot_done_ = false;
  std::FILE* record_ = nullptr;
  VideoFrameView last_frame_;
  bool last_frame_has_sps_ = false;
  std::uint64_t last_time_us_ = 0;
  CursorShapeInfo last_cursor_;
  StreamStats stats_;
  std::string error_;
  bool error_is_local_ = false;
};

}  // namespace tolvi::client
