#include "stream_receiver.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "protocol/message_types.h"

namespace tolvi::client {

double StreamStats::seconds() const {
  return frames < 2 ? 0.0 : static_cast<double>(last_receipt_us - first_receipt_us) / 1e6;
}

double StreamStats::frames_per_second() const {
  const double s = seconds();
  return s > 0 ? static_cast<double>(frames - 1) / s : 0.0;
}

double StreamStats::bits_per_second() const {
  const double s = seconds();
  return s > 0 ? static_cast<double>(bytes) * 8 / s : 0.0;
}

double StreamStats::latency_ms(double q) const {
  if (latencies_us.empty()) return 0.0;
  std::vector<std::int64_t> sorted = latencies_us;
  std::sort(sorted.begin(), sorted.end());
  // Nearest rank: the smallest value with at least q of the samples at or below it.
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  const std::size_t index = rank == 0 ? 0 : std::min(rank, sorted.size()) - 1;
  return static_cast<double>(sorted[index]) / 1000.0;
}

std::string StreamStats::summary() const {
  char line[320];
  std::snprintf(line, sizeof line,
                "stats: frames %llu key %llu decoded %llu in %.2f s, %.2f fps, %.0f kbit/s, "
                "%.0f bytes/frame, latency p50 %.2f ms p99 %.2f ms",
                static_cast<unsigned long long>(frames),
                static_cast<unsigned long long>(key_frames),
                static_cast<unsigned long long>(decoded), seconds(), frames_per_second(),
                bits_per_second() / 1000,
                frames ? static_cast<double>(bytes) / static_cast<double>(frames) : 0.0,
                latency_ms(0.5), latency_ms(0.99));
  return line;
}

StreamReceiver::StreamReceiver(Options options) : options_(std::move(options)) {}

StreamReceiver::~StreamReceiver() {
  if (record_) std::fclose(record_);
}

StreamReceiver::Event StreamReceiver::fail(std::string why, bool local) {
  error_ = std::move(why);
  error_is_local_ = local;
  return Event::Error;
}

StreamReceiver::Event StreamReceiver::handle(std::uint8_t type,
                                             const std::vector<std::uint8_t>& payload,
                                             std::uint64_t receipt_us) {
  if (!error_.empty()) return Event::Error;
  switch (type) {
    case code(MessageType::StreamInfo): {
      StreamInfo info;
      if (!parse_stream_info(payload, info)) {
        return fail("malformed StreamInfo (" + std::to_string(payload.size()) + " bytes)");
      }
      // Every StreamInfo announces a newly built encoder: start a fresh decoder.
      if (options_.decode && !decoder_.open(info.codec, options_.hardware_decoding)) {
        return fail(decoder_.error());
      }
      info_ = info;
      frame_since_info_ = false;
      return Event::Info;
    }
    case code(MessageType::VideoFrame):
      return on_frame(payload, receipt_us);
    case code(MessageType::CursorShape):
      if (!parse_cursor_shape(payload, last_cursor_)) {
        return fail("malformed CursorShape (" + std::to_string(payload.size()) + " bytes)");
      }
      return Event::Cursor;
    default:
      return Event::None;
  }
}

StreamReceiver::Event StreamReceiver::on_frame(const std::vector<std::uint8_t>& payload,
                                               std::uint64_t receipt_us) {
  if (!info_) return fail("VideoFrame before any StreamInfo");
  VideoFrameView frame;
  if (!parse_video_frame(payload, frame)) {
    return fail("malformed VideoFrame (" + std::to_string(payload.size()) + " bytes)");
  }
  last_frame_ = frame;
  last_frame_has_sps_ = has_sequence_parameter_set(info_->codec, frame.data, frame.size);
  if (!frame_since_info_ && !frame.key) {
    return fail("the first VideoFrame of the stream is not a key frame");
  }
  if (!frame_since_info_ && !last_frame_has_sps_) {
    return fail("the first key frame of the stream carries no sequence parameter set");
  }
  frame_since_info_ = true;

  if (stats_.frames == 0) stats_.first_receipt_us = receipt_us;
  if (stats_.frames > 0 && frame.time_us <= last_time_us_) ++stats_.time_regressions;
  last_time_us_ = frame.time_us;
  ++stats_.frames;
  if (frame.key) ++stats_.key_frames;
  stats_.bytes += frame.size;
  stats_.last_receipt_us = receipt_us;
  if (options_.keep_latencies) {
    stats_.latencies_us.push_back(static_cast<std::int64_t>(receipt_us) -
                                  static_cast<std::int64_t>(frame.time_us));
  }

  if (!options_.record_path.empty()) {
    if (!record_ && !(record_ = std::fopen(options_.record_path.c_str(), "wb"))) {
      return fail("cannot create " + options_.record_path, true);
    }
    // Flushed per frame: the file is a usable byte stream while the stream still runs.
    if (std::fwrite(frame.data, 1, frame.size, record_) != frame.size ||
        std::fflush(record_) != 0) {
      return fail("cannot write " + options_.record_path, true);
    }
  }
  if (!options_.decode) return Event::Frame;

  const VideoDecoder::Result result = decoder_.decode(frame.data, frame.size);
  if (result == VideoDecoder::Result::Error) return fail(decoder_.error());
  if (result == VideoDecoder::Result::NoPicture) return Event::Frame;
  ++stats_.decoded;
  if (decoder_.width() != static_cast<int>(info_->stream_width) ||
      decoder_.height() != static_cast<int>(info_->stream_height)) {
    return fail("decoded picture is " + std::to_string(decoder_.width()) + "x" +
                std::to_string(decoder_.height()) + ", the stream is " +
                std::to_string(info_->stream_width) + "x" + std::to_string(info_->stream_height));
  }
  if (!options_.snapshot_path.empty() && !snapshot_done_) {
    snapshot_done_ = true;
    RgbImage image;
    std::string why;
    if (!decoder_.picture_rgb(image)) return fail("cannot convert the first picture to RGB");
    if (!write_png(image, options_.snapshot_path, why)) return fail(why, true);
  }
  return Event::Picture;
}

}  // namespace tolvi::client
