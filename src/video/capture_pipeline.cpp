#include "video/capture_pipeline.h"

#include <cstring>
#include <utility>

#include "base/log.h"
#include "base/log_limit.h"
#include "protocol/message_types.h"

namespace tolvi {
namespace {

using platform::AcquireStatus;

// The smallest rectangle holding both; an empty one adds nothing.
platform::DesktopRect united(const platform::DesktopRect& a, const platform::DesktopRect& b) {
  if (a.width() <= 0 || a.height() <= 0) return b;
  if (b.width() <= 0 || b.height() <= 0) return a;
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
          std::max(a.bottom, b.bottom)};
}

// Failed conversions of the whole process; only the first few are logged.
LogFirstFew convert_failures{kLoggedConvertFailures};

}  // namespace

CapturePipeline::CapturePipeline(StreamHost& host, DisplayController& display,
                                 CapturePlatform platform)
    : host_(host),
      display_(display),
      platform_(std::move(platform)),
      clock_(platform_.clock ? *platform_.clock : system_clock()) {}

CapturePipeline::~CapturePipeline() {
  // The encoder's threads call the sink, which reaches the host: stop them first.
  finish_encode();
  encoder_.reset();
}

bool CapturePipeline::init_capture_device() {
  capture_device_.reset();
  if (platform_.make_capture_device) capture_device_ = platform_.make_capture_device();
  if (!capture_device_) return false;
  display_.set_device_name(capture_device_->output_name());
  return true;
}

bool CapturePipeline::open_duplication() {
  duplication_.reset();
  if (!capture_device_) return false;
  if (run_mode.load() == RunMode::Agent && platform_.follow_input_desktop) {
    platform_.follow_input_desktop();
  }
  duplication_ = capture_device_->open_duplication();
  if (!duplication_) {
    log_problem_once("DuplicateOutput failed", capture_device_->open_problem());
    return false;
  }
  desktop_rect_ = duplication_->desktop_rect();
  host_.set_input_target(desktop_rect_);
  return true;
}

std::optional<CaptureStats> CapturePipeline::encoder_stats() const {
  if (!encoder_) return std::nullopt;
  CaptureStats stats;
  stats.frames_in = static_cast<std::int32_t>(encoder_->frames_in());
  stats.frames_out = static_cast<std::int32_t>(encoder_->frames_out());
  stats.need_more_input = static_cast<std::int32_t>(encoder_->need_more_input());
  stats.congested_skips = congested_skips_;
  stats.conversions = conversions_;
  stats.encode_rejects = encode_rejects_;
  return stats;
}

void CapturePipeline::destroy_encoder() {
  finish_encode();
  encoder_.reset();
}

void CapturePipeline::send(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
  host_.send_message(type, payload.data(), payload.size());
}

void CapturePipeline::send_frame(const std::uint8_t* data, std::uint64_t size, bool keyframe,
                                 std::uint64_t time_us) {
  // VideoFrame: key-frame flag (1), frame time in microseconds (8, little-endian), access unit.
  std::vector<std::uint8_t> payload(kVideoFrameHeaderBytes + size);
  write_video_frame_header(keyframe, time_us, payload.data());
  if (size != 0) std::memcpy(payload.data() + kVideoFrameHeaderBytes, data, size);
  send(code(MessageType::VideoFrame), payload);
}

bool CapturePipeline::reconfigure(const ClientConfig& config) {
  // The pool and the encoder are rebuilt below: the picture in the worker's hands goes first.
  finish_encode();
  host_.current_config() = config;

  // Display matching: switch the mode for the client when asked (with a view that can be
  // matched) and allowed, otherwise put the host's own mode back. Either way the duplication
  // may be stale now.
  const bool allowed = platform_.allow_resolution_change && platform_.allow_resolution_change();
  if (wants_display_match(config) && allowed) {
    if (display_.apply_client_display(config.width, config.height, config.scale)) {
      duplication_.reset();
      clock_.sleep_ms(kModeChangeSettleMs);
    }
  } else {
    display_.restore();
    duplication_.reset();
  }

  for (int attempt = 0; attempt < kDuplicationAttempts && !duplication_; ++attempt) {
    if (!open_duplication()) clock_.sleep_ms(kReopenPauseMs);
  }
  if (!duplication_) {
    log_message("DuplicateOutput failed");
    return false;
  }

  const std::int32_t dw = desktop_rect_.width();
  const std::int32_t dh = desktop_rect_.height();
  stream_ = stream_size(dw, dh, config);
  stream_fps_ = stream_fps(config);

  desktop_image_.resize(dw, dh);
  for (platform::Nv12Image& slot : nv12_pool_) slot.resize(stream_.width, stream_.height);
  all_stale();
  unencoded_change_.reset();

  if (!converter_ && platform_.make_converter) converter_ = platform_.make_converter();
  if (!converter_ || !converter_->init(dw, dh, stream_.width, stream_.height, stream_fps_)) {
    log_message("video processor init failed");
    return false;
  }

  // The new encoder takes the place of the old one before the old one is shut down, and stays
  // even when it cannot be opened.
  std::unique_ptr<Encoder> previous = std::exchange(encoder_, std::make_unique<Encoder>());
  previous.reset();

  const std::int32_t kbps = stream_kbps(config, stream_.width, stream_.height, stream_fps_);
  const bool prefer_hevc = (config.codec_mask & kCodecBitHevc) != 0;
  std::shared_ptr<platform::EncoderCatalogue> catalogue;
  if (platform_.make_encoder_catalogue) catalogue = platform_.make_encoder_catalogue();
  FrameSink sink = [this](const std::uint8_t* data, std::uint64_t size, bool keyframe,
                          std::uint64_t time_us) { send_frame(data, size, keyframe, time_us); };
  if (!encoder_->open(std::move(catalogue), stream_.width, stream_.height, stream_fps_, kbps,
                      prefer_hevc, std::move(sink))) {
    log_message("no usable encoder");
    return false;
  }

  const bool hevc = encoder_->is_hevc();
  if (!(config.codec_mask & (hevc ? kCodecBitHevc : kCodecBitH264))) {
    log_message("client does not support the available codec");
    return false;
  }

  host_.set_congestion_limit(congestion_limit_for(kbps));
  send(code(MessageType::StreamInfo), stream_info_payload(hevc, stream_, dw, dh));
  log_message("stream %dx%d %s %dfps cap %d kbps (desktop %dx%d)", stream_.width, stream_.height,
              hevc ? "HEVC" : "H.264", stream_fps_, kbps, dw, dh);

  first_frame_seen_ = false;
  if (!cursor_shape_cache_.empty()) send(code(MessageType::CursorShape), cursor_shape_cache_);
  return true;
}

void CapturePipeline::run() {
  LoopState loop;
  while (!host_.connection_closed()) {
    if (turn(loop) == Turn::kStop) break;
  }
  // The picture being encoded still goes out.
  settle_encode(loop, true);
}

CapturePipeline::Turn CapturePipeline::turn(LoopState& loop) {
  // New configuration from the receive thread.
  ClientConfig config;
  if (host_.take_pending_config(config)) {
    if (!encoder_ || !(config == host_.current_config())) {
      if (!reconfigure(config)) {
        host_.close_connection();
        return Turn::kStop;
      }
      loop.dirty = first_frame_seen_;
    }
  }

  if (!encoder_) {
    clock_.sleep_ms(kIdleTurnMs);
    return Turn::kGoOn;
  }

  if (!duplication_) {
    if (!open_duplication()) {
      recover_capture_device();
      clock_.sleep_ms(kReopenPauseMs);
      return Turn::kGoOn;
    }
    failed_reopens_ = 0;
    if (rebuild_after_reopen_ || desktop_rect_.width() != desktop_image_.width ||
        desktop_rect_.height() != desktop_image_.height) {
      // The desktop mode changed, or the device is new: rebuild everything for it.
      rebuild_after_reopen_ = false;
      if (!reconfigure(host_.current_config())) {
        host_.close_connection();
        return Turn::kStop;
      }
    }
    encoder_->request_keyframe();
  }

  // Wait no longer than until the next frame is due while a picture waits.
  std::uint64_t now = clock_.now_us();
  const std::uint64_t interval = 1000000u / static_cast<std::uint64_t>(stream_fps_);
  std::uint32_t timeout_ms = kMaxAcquireTimeoutMs;
  if (loop.dirty) {
    const std::uint64_t due = loop.last_encode_us + interval;
    if (now >= due) {
      timeout_ms = 1;
    } else if (due - now < kShortWaitUs) {
      timeout_ms = static_cast<std::uint32_t>((due - now) / 1000 + 1);
    }
  }

  const platform::AcquireResult acquired = duplication_->acquire_next_frame(timeout_ms);
  switch (acquired.status) {
    case AcquireStatus::kAccessLost:
      log_message("capture: access lost (0x%08lx), reopening",
                  static_cast<unsigned long>(acquired.error_code));
      duplication_.reset();
      return Turn::kGoOn;
    case AcquireStatus::kError:
      log_message("capture: AcquireNextFrame failed 0x%08lx",
                  static_cast<unsigned long>(acquired.error_code));
      duplication_.reset();
      clock_.sleep_ms(kAcquireErrorPauseMs);
      return Turn::kGoOn;
    case AcquireStatus::kTimeout:
      break;
    case AcquireStatus::kFrame:
      if (acquired.info.pointer_updated) update_pointer(loop, acquired.info);
      if (acquired.info.present && !duplication_->copy_frame_to(desktop_image_)) {
        all_stale();  // a failed copy may have left part of a picture
        unencoded_change_.reset();
        log_problem_once("capture: picture not copied", duplication_->copy_problem());
      } else if (acquired.info.present) {
        const platform::DesktopRect reported = duplication_->copied_change();
        const platform::DesktopRect changed{std::clamp(reported.left, 0, desktop_image_.width),
                                            std::clamp(reported.top, 0, desktop_image_.height),
                                            std::clamp(reported.right, 0, desktop_image_.width),
                                            std::clamp(reported.bottom, 0, desktop_image_.height)};
        for (platform::DesktopRect& stale : stale_) stale = united(stale, changed);
        if (unencoded_change_) unencoded_change_ = united(*unencoded_change_, changed);
        if (!first_frame_seen_) log_message("capture: first frame");
        first_frame_seen_ = true;
        loop.last_capture_us = clock_.now_us();
        loop.dirty = true;
        loop.refresh_count = kRefreshEncodes;
      }
      duplication_->release_frame();
      break;
  }

  if (host_.take_keyframe_request()) {
    encoder_->request_keyframe();
    // On a still screen the current picture is encoded again, once there is one.
    loop.dirty = first_frame_seen_;
  }

  // Re-encode an unchanged picture about 150 ms and 500 ms after its last change, so the
  // client's view sharpens once the stream's quality has caught up.
  now = clock_.now_us();
  if (!loop.dirty && loop.refresh_count > 0) {
    const std::uint64_t threshold =
        loop.refresh_count == kRefreshEncodes ? kFirstRefreshUs : kLastRefreshUs;
    if (now - loop.last_capture_us > threshold) {
      loop.dirty = true;
      --loop.refresh_count;
    }
  }

  // A picture the worker finished meanwhile: refused, it is due again.
  settle_encode(loop, false);

  if (!loop.dirty || now < loop.last_encode_us + interval) return Turn::kGoOn;

  // Skip, never queue, while the client is behind: the picture stays dirty and the newest one
  // is encoded as soon as the backlog drains.
  if (host_.main_backlog() > host_.congestion_limit()) ++congested_skips_;
  if (host_.main_backlog() > host_.congestion_limit()) return Turn::kGoOn;

  ++conversions_;
  platform::Nv12Image& slot = nv12_pool_[loop.pool_index];
  platform::DesktopRect& stale = stale_[loop.pool_index];
  if (!converter_->convert_area(desktop_image_, slot, stale)) {
    stale = whole_desktop();
    if (convert_failures.should_log()) log_message("convert failed");
    return Turn::kGoOn;
  }
  stale = {};
  // The previous picture must be done before this one is handed on (one in the encoder's
  // hands); it was encoding while this one was captured and converted.
  settle_encode(loop, true);
  // A picture encoded again unchanged (a refresh) says so too: the encoder still improves what
  // it sent at a lower quality than it would now.
  const bool one_to_one =
      stream_.width == desktop_image_.width && stream_.height == desktop_image_.height;
  slot.changed.reset();
  if (one_to_one) slot.changed = unencoded_change_;
  if (encode(slot, now)) {
    unencoded_change_ = platform::DesktopRect{};
    loop.pool_index = (loop.pool_index + 1) % kNv12PoolSlots;
    loop.dirty = false;
    // Keep the cadence: a frame encoded a little after its slot (a wake-up is up to a
    // millisecond late) counts from the slot, so those delays do not add up into a dropped
    // frame every second or so. A frame more than an interval late starts a new cadence, so
    // frames never come in a burst.
    const std::uint64_t slot_us = loop.last_encode_us + interval;
    loop.last_encode_us = now - slot_us < interval ? slot_us : now;
  } else {
    ++encode_rejects_;
  }
  return Turn::kGoOn;
}

void CapturePipeline::log_problem_once(const char* what, const platform::PlatformProblem& problem) {
  if (problem.code == 0 && problem.meaning.empty()) return;
  if (!logged_problems_.emplace(problem.code, problem.meaning).second) return;
  if (problem.code == 0) {
    log_message("%s: %s", what, problem.meaning.c_str());
  } else {
    log_message("%s: 0x%08lx %s", what, static_cast<unsigned long>(problem.code),
                problem.meaning.c_str());
  }
}

void CapturePipeline::recover_capture_device() {
  ++failed_reopens_;
  const bool lost = !capture_device_ || capture_device_->lost();
  if (!lost && failed_reopens_ < kReopensBeforeNewDevice) return;
  log_message("capture: %s; setting the capture device up again",
              lost ? "the graphics device is lost" : "the duplication cannot be reopened");
  failed_reopens_ = 0;
  ++capture_device_rebuilds_;
  // The converter lives on the old device's adapter too: the rebuild makes a new one.
  duplication_.reset();
  converter_.reset();
  capture_device_.reset();
  if (platform_.make_capture_device) capture_device_ = platform_.make_capture_device();
  if (capture_device_) display_.set_device_name(capture_device_->output_name());
  rebuild_after_reopen_ = true;
}

void CapturePipeline::all_stale() { stale_.fill(whole_desktop()); }

bool CapturePipeline::encode(const platform::Nv12Image& slot, std::uint64_t now) {
  // An asynchronous encoder returns at once anyway, and a picture on the graphics adapter is
  // encoded with the device the conversion uses: those are encoded here.
  if (encoder_->is_async() || encoder_->zero_copy() || slot.on_adapter) {
    return encoder_->encode_frame(slot, now);
  }
  encode_worker_.start(*encoder_, slot, now);
  return true;
}

void CapturePipeline::settle_encode(LoopState& loop, bool wait) {
  const std::optional<bool> accepted = encode_worker_.collect(wait);
  if (!accepted || *accepted) return;
  ++encode_rejects_;
  unencoded_change_.reset();
  loop.dirty = true;
}

void CapturePipeline::finish_encode() { encode_worker_.collect(true); }

void CapturePipeline::update_pointer(LoopState& loop, const platform::FrameInfo& info) {
  if (info.pointer_shape_bytes != 0) {
    shape_buffer_.assign(info.pointer_shape_bytes, 0);
    platform::PointerShapeInfo shape;
    std::vector<std::uint8_t> payload;
    if (duplication_->get_pointer_shape(shape_buffer_, shape) &&
        build_cursor_shape(shape, shape_buffer_, payload)) {
      cursor_shape_cache_ = std::move(payload);
      // A shape that arrives with the pointer hidden is only cached: on X11 hiding comes as a
      // transparent image, and the client is told by the hidden form alone.
      if (loop.cursor_visible && info.pointer_visible) {
        send(code(MessageType::CursorShape), cursor_shape_cache_);
      }
    }
  }
  if (info.pointer_visible != loop.cursor_visible) {
    if (info.pointer_visible) {
      loop.cursor_visible = true;
      if (!cursor_shape_cache_.empty()) send(code(MessageType::CursorShape), cursor_shape_cache_);
    } else {
      send(code(MessageType::CursorShape), hidden_cursor_payload());
      loop.cursor_visible = false;
    }
  }
}

}  // namespace tolvi
