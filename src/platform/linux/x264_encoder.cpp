// H.264 through libx264's own interface, so that each picture can say which macroblocks did not
// change (libavcodec has no way to pass that on). Settings follow what libavcodec's libx264
// encoder makes of the same values, except for rate control (a constant quality inside the
// cap's VBV instead of a mean rate) and two coding tools desktop pictures need (see below).
#include "platform/linux/x264_encoder.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/encoder_settings.h"

extern "C" {
#include <x264.h>
}

namespace tolvi::platform {

namespace {

constexpr std::int64_t kTimeBase = 10000000;  // frame times in 100-ns units
constexpr int kMacroblock = 16;
constexpr std::uint32_t kBitsPerKbit = 1000;
// The first picture of an encoder (a session's first, or the first after a resize) starts the
// client's view: within the VBV of one frame that every later frame keeps, one of a desktop
// full of text is so coarse that the later refreshes take seconds to sharpen it. That picture
// may use a full VBV of this part of a second at the max rate instead, so it costs no more than
// the cap allows over that time, and the VBV shrinks to one frame right after it.
constexpr std::uint32_t kFirstFrameBudgetDivisor = 4;  // a quarter of a second
constexpr float kFullVbv = 1.0f;
// The constant-quality factor inside the cap, measured at 1080p60 on the painter's pictures
// (peer_region_quality): a 480x270 animated region of flat cells decodes at 40.7 dB for 4.7 KB
// a frame (a mean rate spent 15 KB at 53 dB), full-screen motion at 41 dB for half a frame's
// VBV. Each step is about 0.7 dB and only 1.5 % of the bytes on such pictures; 34 keeps the
// region within twice the bytes a VNC server's Tight encoding sends for it, above 40 dB.
constexpr float kConstantQuality = 34.0f;
// A change counts as small (and gets the 4x4 block search) up to this part of the picture.
constexpr std::int64_t kSmallChangeDivisor = 4;
// x264's own error codes do not exist: these tell the log which step failed.
constexpr std::uint32_t kErrorNotOpen = 1;
constexpr std::uint32_t kErrorEncode = 2;
constexpr std::uint32_t kErrorBadFrame = 3;
constexpr std::uint32_t kErrorUnsupported = 4;
// H.264 colour description codes: BT.709 primaries, transfer and matrix; chroma sited left.
constexpr int kBt709 = 1;
constexpr int kChromaLeft = 0;

class X264Transform : public EncoderTransform {
 public:
  ~X264Transform() override { close(); }

  bool is_async() const override { return false; }
  bool zero_copy() const override { return false; }
  bool has_codec_api() const override { return true; }

  void set_low_latency() override { settings_.low_latency = true; }

  std::uint32_t set_value(CodecSetting setting, std::uint32_t value) override {
    // The mean rate has no part in constant-quality rate control: the max rate is the cap.
    return settings_.record(setting, value) ? 0 : kErrorUnsupported;
  }

  bool set_output_format(const OutputFormat& format) override {
    close();
    if (format.codec != VideoCodec::kH264 || format.width <= 0 || format.height <= 0 ||
        format.fps <= 0) {
      return false;
    }
    x264_param_t& p = param_;
    if (x264_param_default_preset(&p, x264_preset(settings_.quality_vs_speed),
                                  settings_.low_latency ? "zerolatency" : nullptr) < 0) {
      return false;
    }
    p.i_log_level = X264_LOG_NONE;
    p.i_csp = X264_CSP_NV12;
    p.i_width = format.width;
    p.i_height = format.height;
    p.i_fps_num = static_cast<std::uint32_t>(format.fps);
    p.i_fps_den = 1;
    p.i_timebase_num = 1;
    p.i_timebase_den = static_cast<std::uint32_t>(kTimeBase);
    p.vui.i_sar_width = p.vui.i_sar_height = 1;
    p.vui.i_colorprim = p.vui.i_transfer = p.vui.i_colmatrix = kBt709;
    p.vui.b_fullrange = 0;
    p.vui.i_chroma_loc = kChromaLeft;
    // Rate: a constant quality inside a VBV of about one frame at the max rate. The quality
    // decides what a frame costs, so a small change costs a small frame and an unchanged
    // picture's refresh still sharpens what was coarse; the VBV keeps every frame within what
    // the cap sends in a frame time, so full motion is held to the cap as before. (A mean rate
    // instead would spend the whole budget on whatever changed, however little.)
    const std::uint32_t max_rate =
        settings_.max_bit_rate ? settings_.max_bit_rate : format.bit_rate;
    p.rc.i_rc_method = X264_RC_CRF;
    p.rc.f_rf_constant = kConstantQuality;
    p.rc.i_vbv_max_bitrate = static_cast<int>(max_rate / kBitsPerKbit);
    frame_vbv_kbit_ =
        static_cast<int>(max_rate / static_cast<std::uint32_t>(format.fps) / kBitsPerKbit);
    p.rc.i_vbv_buffer_size = std::max(
        frame_vbv_kbit_, static_cast<int>(max_rate / kBitsPerKbit / kFirstFrameBudgetDivisor));
    p.rc.f_vbv_buffer_init = kFullVbv;
    // Key frames only when asked, and then IDR frames a client can start from.
    p.i_keyint_max = settings_.gop_size > static_cast<std::uint32_t>(INT_MAX)
                         ? INT_MAX
                         : static_cast<int>(settings_.gop_size);
    p.i_scenecut_threshold = 0;
    p.i_bframe = static_cast<int>(settings_.b_frames);
    // Parameter sets once, from sequence_header(), instead of in front of every key frame.
    p.b_repeat_headers = 0;
    p.b_annexb = 1;
    // Unchanged macroblocks are told with each picture.
    p.analyse.b_mb_info = 1;
    // Two tools ultrafast leaves out that desktop pictures need: CABAC, and 4x4 intra blocks
    // where a macroblock straddles the edge of a window or a cell. Measured at 1080p60: a small
    // animated region costs about 40 % fewer bytes at the same quality with them, and full-screen
    // motion decodes at 41 dB in 15 KB a frame against 32 dB in 23 KB (the mean rate without
    // them). The 4x4 search is for small changes only (see use_small_blocks): on a picture
    // that changed across much of its area it would cost about 1.3 ms a 1080p frame here for
    // little, where CABAC costs about 0.9 ms.
    p.b_cabac = 1;
    p.analyse.intra = p.analyse.inter = X264_ANALYSE_I4x4;
    const char* profile = format.profile == CodecProfile::kH264Main ? "main" : "high";
    if (x264_param_apply_profile(&p, profile) < 0) return false;
    encoder_ = x264_encoder_open(&p);
    if (!encoder_) return false;
    x264_encoder_parameters(encoder_, &param_);
    width_ = format.width;
    height_ = format.height;
    mb_columns_ = (width_ + kMacroblock - 1) / kMacroblock;
    mb_rows_ = (height_ + kMacroblock - 1) / kMacroblock;

    // The parameter sets; x264's own notice (an SEI naming its version and options) goes in
    // front of the first frame instead, where libavcodec puts it too.
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_, &nals, &count) < 0) {
      close();
      return false;
    }
    for (int i = 0; i < count; ++i) {
      std::vector<std::uint8_t>& into = nals[i].i_type == NAL_SEI ? notice_ : header_;
      into.insert(into.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
    }
    return true;
  }

  bool set_input_format(const InputFormat& format) override {
    return encoder_ && format.width == width_ && format.height == height_;
  }

  std::vector<std::uint8_t> sequence_header() override { return header_; }

  bool prepare_upload() override { return encoder_ != nullptr; }
  void begin_streaming() override {}

  bool force_keyframe() override {
    force_keyframe_ = true;
    return encoder_ != nullptr;
  }

  TransformResult process_input(const Nv12Image& image, std::int64_t time,
                                std::int64_t /*duration*/) override {
    if (!encoder_) return {TransformStatus::kError, kErrorNotOpen};
    if (image.width != width_ || image.height != height_ ||
        image.data.size() < image.y_size() * 3 / 2) {
      return {TransformStatus::kBufferFailed, kErrorBadFrame};
    }
    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    // x264 copies the planes into a frame of its own before encoding returns.
    picture.img.plane[0] = const_cast<std::uint8_t*>(image.y_plane());
    picture.img.plane[1] = const_cast<std::uint8_t*>(image.uv_plane());
    picture.img.i_stride[0] = picture.img.i_stride[1] = image.width;
    picture.i_pts = time;
    picture.i_type = force_keyframe_ ? X264_TYPE_IDR : X264_TYPE_AUTO;
    use_small_blocks(image.changed && !force_keyframe_ &&
                     static_cast<std::int64_t>(image.changed->width()) * image.changed->height() *
                             kSmallChangeDivisor <=
                         static_cast<std::int64_t>(width_) * height_);
    if (image.changed && !force_keyframe_) {
      // x264 frees the flags when it is done with the picture, which may be after this call.
      picture.prop.mb_info = unchanged_macroblocks(*image.changed);
      if (picture.prop.mb_info) picture.prop.mb_info_free = std::free;
    }

    output_.clear();
    x264_picture_t encoded;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const int size = x264_encoder_encode(encoder_, &nals, &count, &picture, &encoded);
    if (size < 0) return {TransformStatus::kError, kErrorEncode};
    // No output delay under zerolatency: this was the first picture.
    if (size > 0) set_vbv(frame_vbv_kbit_);
    force_keyframe_ = false;
    if (size > 0) {
      if (!notice_.empty()) {
        output_ = std::move(notice_);
        notice_.clear();
      }
      // The units of one frame lie one after another in x264's buffer.
      output_.insert(output_.end(), nals[0].p_payload, nals[0].p_payload + size);
      output_key_ = encoded.b_keyframe != 0;
      output_time_ = encoded.i_pts;
      has_output_ = true;
    }
    return {TransformStatus::kOk, 0};
  }

  EncodedOutput process_output() override {
    EncodedOutput output;
    if (!encoder_) {
      output.code = kErrorNotOpen;
      return output;
    }
    if (!has_output_) {
      output.status = TransformStatus::kNeedMoreInput;
      return output;
    }
    has_output_ = false;
    output.status = TransformStatus::kOk;
    output.readable = true;
    output.data = output_;
    output.clean_point = output_key_;
    output.time = output_time_;
    return output;
  }

  bool accept_output_change() override { return false; }
  TransformEvent wait_event() override { return TransformEvent::kFailed; }
  void end_of_stream_and_flush() override {}
  void interrupt_events() override {}
  void end_streaming() override { close(); }

 private:
  // One flag a macroblock: constant where `changed` does not reach. Null when out of memory.
  std::uint8_t* unchanged_macroblocks(const DesktopRect& changed) const {
    const std::size_t count =
        static_cast<std::size_t>(mb_columns_) * static_cast<std::size_t>(mb_rows_);
    auto* flags = static_cast<std::uint8_t*>(std::malloc(count));
    if (!flags) return nullptr;
    std::memset(flags, X264_MBINFO_CONSTANT, count);
    const int left = std::clamp(changed.left, 0, width_) / kMacroblock;
    const int top = std::clamp(changed.top, 0, height_) / kMacroblock;
    const int right = (std::clamp(changed.right, 0, width_) + kMacroblock - 1) / kMacroblock;
    const int bottom = (std::clamp(changed.bottom, 0, height_) + kMacroblock - 1) / kMacroblock;
    for (int row = top; row < bottom; ++row) {
      std::memset(flags + static_cast<std::size_t>(row) * static_cast<std::size_t>(mb_columns_) +
                      static_cast<std::size_t>(left),
                  0, static_cast<std::size_t>(std::max(0, right - left)));
    }
    return flags;
  }

  // The 4x4 block search on or off, from this picture on (analysis settings change without a
  // new stream).
  void use_small_blocks(bool on) {
    const unsigned partitions = on ? X264_ANALYSE_I4x4 : 0u;
    if (param_.analyse.intra == partitions) return;
    param_.analyse.intra = param_.analyse.inter = partitions;
    x264_encoder_reconfig(encoder_, &param_);
  }

  // Takes effect with the next picture (no frame threads under zerolatency).
  void set_vbv(int kbit) {
    if (param_.rc.i_vbv_buffer_size == kbit) return;
    param_.rc.i_vbv_buffer_size = kbit;
    x264_encoder_reconfig(encoder_, &param_);
  }

  void close() {
    if (encoder_) x264_encoder_close(encoder_);
    encoder_ = nullptr;
    header_.clear();
    notice_.clear();
    output_.clear();
    has_output_ = false;
  }

  EncoderSettings settings_;
  bool force_keyframe_ = false;
  x264_param_t param_{};
  x264_t* encoder_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  int frame_vbv_kbit_ = 0;  // the VBV of every frame after the first
  int mb_columns_ = 0;
  int mb_rows_ = 0;
  std::vector<std::uint8_t> header_;
  std::vector<std::uint8_t> notice_;
  std::vector<std::uint8_t> output_;
  bool has_output_ = false;
  bool output_key_ = false;
  std::int64_t output_time_ = 0;
};

}  // namespace

std::unique_ptr<EncoderTransform> make_x264_transform() {
  return std::make_unique<X264Transform>();
}

const char* x264_preset(std::uint32_t quality_vs_speed) {
  if (quality_vs_speed < 40) return "ultrafast";
  if (quality_vs_speed < 67) return "superfast";
  if (quality_vs_speed < 85) return "veryfast";
  return "faster";
}

}  // namespace tolvi::platform
