// Encoders from FFmpeg's libavcodec: the hardware encoders it was built with (they open only
// where their device is present) and libx264 as the software fallback, behind libx264 used
// directly (x264_encoder.cpp), which is told what did not change.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <array>
#include <cstring>

#include "ffmpeg/ffmpeg_holders.h"
#include "platform/encoder.h"
#include "platform/linux/encoder_settings.h"
#include "platform/linux/x264_encoder.h"

namespace tolvi::platform {

namespace {

enum class Family { kNvenc, kVaapi, kQsv, kV4l2m2m, kX264 };

struct KnownEncoder {
  const char* name;
  VideoCodec codec;
  bool hardware;
  Family family;
};

// Preference order within each group; the caller asks for HEVC before H.264 when it can.
constexpr std::array<KnownEncoder, 8> kKnownEncoders = {{
    {"hevc_nvenc", VideoCodec::kHevc, true, Family::kNvenc},
    {"hevc_vaapi", VideoCodec::kHevc, true, Family::kVaapi},
    {"hevc_qsv", VideoCodec::kHevc, true, Family::kQsv},
    {"h264_nvenc", VideoCodec::kH264, true, Family::kNvenc},
    {"h264_vaapi", VideoCodec::kH264, true, Family::kVaapi},
    {"h264_qsv", VideoCodec::kH264, true, Family::kQsv},
    {"h264_v4l2m2m", VideoCodec::kH264, true, Family::kV4l2m2m},
    {"libx264", VideoCodec::kH264, false, Family::kX264},
}};

// libx264 without libavcodec: first among the software encoders, with a handle of its own.
constexpr const char* kDirectX264Name = "x264";
constexpr std::uint32_t kDirectX264Handle = 0x100;

// The render node VAAPI uses when none is named.
constexpr const char* kVaapiDevice = "/dev/dri/renderD128";

constexpr std::int64_t kTimeBase = 10000000;  // frame times in 100-ns units

// VAAPI: pictures the encoder keeps in flight on the device (FFmpeg's default, set explicitly so
// the pool below is sized for it), and spare surfaces beyond what the encoder can hold.
constexpr int kVaapiAsyncDepth = 2;
constexpr int kVaapiPoolMargin = 2;

// Input surfaces a VAAPI encoder may hold at once: each input stays referenced until its
// picture is done as a reference, B-frames wait for the picture after them, async_depth
// pictures are in flight, and we upload into one more. A pool smaller than that makes
// av_hwframe_get_buffer fail on a real device and the stream stall.
int vaapi_pool_size(const AVCodecContext* c) {
  return std::max(c->refs, 1) + std::max(c->max_b_frames, 0) + kVaapiAsyncDepth + 1 +
         kVaapiPoolMargin;
}

// The stream a hardware encoder is probed with: one every device supports.
constexpr std::int32_t kProbeWidth = 1280;
constexpr std::int32_t kProbeHeight = 720;
constexpr std::int32_t kProbeFps = 30;
constexpr std::uint32_t kProbeBitRate = 4000000;

std::uint32_t error_code(int averror) { return static_cast<std::uint32_t>(averror); }

class FfmpegTransform : public EncoderTransform {
 public:
  FfmpegTransform(const AVCodec* codec, const KnownEncoder& known) : codec_(codec), known_(known) {}

  ~FfmpegTransform() override { close(); }

  bool is_async() const override { return false; }
  bool zero_copy() const override { return false; }
  bool has_codec_api() const override { return true; }

  void set_low_latency() override { settings_.low_latency = true; }

  std::uint32_t set_value(CodecSetting setting, std::uint32_t value) override {
    if (!settings_.record(setting, value)) return error_code(AVERROR(EINVAL));
    // After opening, libx264 takes a new rate with the next frame.
    if (setting == CodecSetting::kMeanBitRate && context_) context_->bit_rate = value;
    return 0;
  }

  // Everything is known by now (settings first, then the output), so the encoder is opened
  // here: a profile or a device it cannot do is refused on the spot.
  bool set_output_format(const OutputFormat& format) override {
    close();
    if (format.codec != known_.codec || format.width <= 0 || format.height <= 0 ||
        format.fps <= 0) {
      return false;
    }
    context_.reset(avcodec_alloc_context3(codec_));
    if (!context_) return false;
    AVCodecContext* c = context_.get();
    c->width = format.width;
    c->height = format.height;
    c->time_base = {1, static_cast<int>(kTimeBase)};
    c->framerate = {format.fps, 1};
    c->pix_fmt = AV_PIX_FMT_NV12;
    c->sample_aspect_ratio = {1, 1};
    c->bit_rate = format.bit_rate;
    c->rc_max_rate = settings_.max_bit_rate ? settings_.max_bit_rate : format.bit_rate;
    // A VBV of about one frame at the max rate: no frame may take much longer than a frame
    // time to send, which bounds the latency a big picture change adds.
    c->rc_buffer_size = static_cast<int>(c->rc_max_rate / format.fps);
    c->gop_size = settings_.gop_size > static_cast<std::uint32_t>(INT32_MAX)
                      ? INT32_MAX
                      : static_cast<int>(settings_.gop_size);
    c->max_b_frames = static_cast<int>(settings_.b_frames);
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    c->chroma_sample_location = AVCHROMA_LOC_LEFT;
    // Parameter sets once, as extradata, instead of in front of every key frame.
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (settings_.low_latency) c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    const bool main = format.profile == CodecProfile::kH264Main;
    c->profile = known_.codec == VideoCodec::kHevc ? FF_PROFILE_HEVC_MAIN
                 : main                            ? FF_PROFILE_H264_MAIN
                                                   : FF_PROFILE_H264_HIGH;

    AVDictionary* raw = nullptr;
    const char* profile = known_.codec == VideoCodec::kHevc ? "main" : main ? "main" : "high";
    switch (known_.family) {
      case Family::kX264:
        av_dict_set(&raw, "preset", x264_preset(settings_.quality_vs_speed), 0);
        if (settings_.low_latency)
          av_dict_set(&raw, "tune", "zerolatency", 0);  // no lookahead, slices
        av_dict_set(&raw, "profile", profile, 0);
        // Key frames only when asked; an asked one is an IDR the client can start from.
        av_dict_set(&raw, "x264-params", "scenecut=0", 0);
        av_dict_set(&raw, "forced-idr", "1", 0);
        break;
      case Family::kNvenc:
        av_dict_set(&raw, "preset", settings_.quality_vs_speed < 50 ? "p1" : "p4", 0);
        if (settings_.low_latency) {
          av_dict_set(&raw, "tune", "ull", 0);
          av_dict_set(&raw, "zerolatency", "1", 0);
          av_dict_set(&raw, "delay", "0", 0);
        }
        av_dict_set(&raw, "rc", "vbr", 0);
        av_dict_set(&raw, "profile", profile, 0);
        av_dict_set(&raw, "forced-idr", "1", 0);
        break;
      case Family::kQsv:
        av_dict_set(&raw, "preset", settings_.quality_vs_speed < 50 ? "veryfast" : "medium", 0);
        if (settings_.low_latency) av_dict_set(&raw, "async_depth", "1", 0);
        av_dict_set(&raw, "forced_idr", "1", 0);
        break;
      case Family::kVaapi:
        av_dict_set_int(&raw, "async_depth", kVaapiAsyncDepth, 0);
        if (!open_vaapi_frames(format)) {
          av_dict_free(&raw);
          close();
          return false;
        }
        break;
      case Family::kV4l2m2m:
        break;
    }
    const int opened = avcodec_open2(c, codec_, &raw);
    av_dict_free(&raw);
    if (opened < 0) {
      close();
      return false;
    }
    return true;
  }

  bool set_input_format(const InputFormat& format) override {
    return context_ && format.width == context_->width && format.height == context_->height;
  }

  std::vector<std::uint8_t> sequence_header() override {
    if (!context_ || !context_->extradata || context_->extradata_size <= 0) return {};
    return {context_->extradata, context_->extradata + context_->extradata_size};
  }

  bool prepare_upload() override {
    if (!context_) return false;
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) return false;
    frame_->format = AV_PIX_FMT_NV12;
    frame_->width = context_->width;
    frame_->height = context_->height;
    frame_->color_primaries = AVCOL_PRI_BT709;
    frame_->color_trc = AVCOL_TRC_BT709;
    frame_->colorspace = AVCOL_SPC_BT709;
    frame_->color_range = AVCOL_RANGE_MPEG;
    if (known_.family == Family::kX264) return true;  // the caller's planes, see process_input
    return av_frame_get_buffer(frame_.get(), 0) >= 0;
  }

  void begin_streaming() override {}

  bool force_keyframe() override {
    force_keyframe_ = true;
    return context_ != nullptr;
  }

  TransformResult process_input(const Nv12Image& image, std::int64_t time,
                                std::int64_t duration) override {
    if (!context_ || !frame_) return {TransformStatus::kError, error_code(AVERROR(EINVAL))};
    if (image.width != frame_->width || image.height != frame_->height ||
        image.data.size() < image.y_size() * 3 / 2) {
      return {TransformStatus::kBufferFailed, error_code(AVERROR(EINVAL))};
    }
    int result = 0;
    if (known_.family == Family::kX264) {
      // libx264 copies the picture into a frame of its own before avcodec_send_frame returns,
      // so the caller's planes are handed over as they are, without a copy of ours. The buffer
      // frees nothing: the image stays the caller's.
      av_buffer_unref(&frame_->buf[0]);
      frame_->buf[0] = av_buffer_create(
          const_cast<std::uint8_t*>(image.data.data()), image.data.size(),
          [](void*, std::uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
      if (!frame_->buf[0]) return {TransformStatus::kBufferFailed, error_code(AVERROR(ENOMEM))};
      frame_->data[0] = const_cast<std::uint8_t*>(image.y_plane());
      frame_->data[1] = const_cast<std::uint8_t*>(image.uv_plane());
      frame_->linesize[0] = frame_->linesize[1] = image.width;
    } else {
      // The encoder may still hold the previous picture: write into a buffer of our own.
      result = av_frame_make_writable(frame_.get());
      if (result < 0) return {TransformStatus::kBufferFailed, error_code(result)};
      av_image_copy_plane(frame_->data[0], frame_->linesize[0], image.y_plane(), image.width,
                          image.width, image.height);
      av_image_copy_plane(frame_->data[1], frame_->linesize[1], image.uv_plane(), image.width,
                          image.width, image.height / 2);
    }
    frame_->pts = time;
    frame_->pkt_duration = duration;
    frame_->pict_type = force_keyframe_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    frame_->key_frame = force_keyframe_ ? 1 : 0;

    AVFrame* input = frame_.get();
    if (hw_frames_) {
      hw_frame_.reset(av_frame_alloc());
      if (!hw_frame_ || av_hwframe_get_buffer(hw_frames_.get(), hw_frame_.get(), 0) < 0 ||
          av_hwframe_transfer_data(hw_frame_.get(), frame_.get(), 0) < 0 ||
          av_frame_copy_props(hw_frame_.get(), frame_.get()) < 0) {
        return {TransformStatus::kBufferFailed, error_code(AVERROR(EIO))};
      }
      input = hw_frame_.get();
    }
    result = avcodec_send_frame(context_.get(), input);
    if (result == AVERROR(EAGAIN)) return {TransformStatus::kNotAccepting, error_code(result)};
    if (result < 0) return {TransformStatus::kError, error_code(result)};
    force_keyframe_ = false;
    return {TransformStatus::kOk, 0};
  }

  EncodedOutput process_output() override {
    EncodedOutput output;
    if (!context_ || !packet_) {
      output.code = error_code(AVERROR(EINVAL));
      return output;
    }
    av_packet_unref(packet_.get());
    const int result = avcodec_receive_packet(context_.get(), packet_.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
      output.status = TransformStatus::kNeedMoreInput;
      output.code = error_code(result);
      return output;
    }
    if (result < 0) {
      output.code = error_code(result);
      return output;
    }
    output.status = TransformStatus::kOk;
    output.readable = packet_->data != nullptr;
    output.data = {packet_->data, static_cast<std::size_t>(packet_->size)};
    output.clean_point = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    if (packet_->pts != AV_NOPTS_VALUE) output.time = packet_->pts;
    return output;
  }

  bool accept_output_change() override { return false; }  // libavcodec never changes it
  TransformEvent wait_event() override { return TransformEvent::kFailed; }
  void end_of_stream_and_flush() override {}  // nothing is delivered after this anyway
  void interrupt_events() override {}
  void end_streaming() override { close(); }

 private:
  // VAAPI encoders take frames in video memory: a device on the render node and a pool of
  // NV12 surfaces that each frame is uploaded into.
  bool open_vaapi_frames(const OutputFormat& format) {
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, kVaapiDevice, nullptr, 0) < 0) {
      return false;
    }
    hw_device_.reset(device);
    hw_frames_.reset(av_hwframe_ctx_alloc(hw_device_.get()));
    if (!hw_frames_) return false;
    auto* frames = reinterpret_cast<AVHWFramesContext*>(hw_frames_->data);
    frames->format = AV_PIX_FMT_VAAPI;
    frames->sw_format = AV_PIX_FMT_NV12;
    frames->width = format.width;
    frames->height = format.height;
    frames->initial_pool_size = vaapi_pool_size(context_.get());
    if (av_hwframe_ctx_init(hw_frames_.get()) < 0) return false;
    context_->pix_fmt = AV_PIX_FMT_VAAPI;
    context_->hw_frames_ctx = av_buffer_ref(hw_frames_.get());
    return context_->hw_frames_ctx != nullptr;
  }

  void close() {
    hw_frame_.reset();
    frame_.reset();
    packet_.reset();
    context_.reset();
    hw_frames_.reset();
    hw_device_.reset();
  }

  const AVCodec* codec_;
  KnownEncoder known_;
  EncoderSettings settings_;
  bool force_keyframe_ = false;
  ffmpeg::CodecContextPtr context_;
  ffmpeg::BufferRefPtr hw_device_;
  ffmpeg::BufferRefPtr hw_frames_;
  ffmpeg::FramePtr frame_;
  ffmpeg::FramePtr hw_frame_;
  ffmpeg::PacketPtr packet_;
};

class FfmpegCatalogue : public EncoderCatalogue {
 public:
  std::optional<std::uint64_t> capture_adapter_id() const override { return std::nullopt; }

  bool enumerate(VideoCodec codec, bool hardware,
                 std::vector<EncoderCandidate>& candidates) override {
    if (codec == VideoCodec::kH264 && !hardware) {
      EncoderCandidate direct;
      direct.name = kDirectX264Name;
      direct.codec = codec;
      direct.handle = kDirectX264Handle;
      candidates.push_back(std::move(direct));
    }
    for (std::uint32_t i = 0; i < kKnownEncoders.size(); ++i) {
      const KnownEncoder& known = kKnownEncoders[i];
      if (known.codec != codec || known.hardware != hardware) continue;
      if (!avcodec_find_encoder_by_name(known.name)) continue;  // not in this FFmpeg build
      EncoderCandidate candidate;
      candidate.name = known.name;
      candidate.codec = known.codec;
      candidate.hardware = known.hardware;
      candidate.handle = i;
      candidates.push_back(std::move(candidate));
    }
    return true;
  }

  // Opens the encoder on its device for a common stream (720p30, low latency, the profile
  // every device has) and closes it again: where the device is absent (no CUDA driver, no DRM
  // render node, no QSV runtime) this fails here, once, instead of at every reconfiguration.
  bool probe(const EncoderCandidate& candidate) override {
    std::unique_ptr<EncoderTransform> transform = activate(candidate);
    if (!transform) return false;
    if (!candidate.hardware) return true;
    transform->set_low_latency();
    OutputFormat format;
    format.codec = candidate.codec;
    format.profile =
        candidate.codec == VideoCodec::kHevc ? CodecProfile::kHevcMain : CodecProfile::kH264Main;
    format.width = kProbeWidth;
    format.height = kProbeHeight;
    format.fps = kProbeFps;
    format.bit_rate = kProbeBitRate;
    return transform->set_output_format(format);
  }

  std::unique_ptr<EncoderTransform> activate(const EncoderCandidate& candidate) override {
    if (candidate.handle == kDirectX264Handle) return make_x264_transform();
    if (candidate.handle >= kKnownEncoders.size()) return nullptr;
    const KnownEncoder& known = kKnownEncoders[candidate.handle];
    const AVCodec* codec = avcodec_find_encoder_by_name(known.name);
    if (!codec) return nullptr;
    return std::make_unique<FfmpegTransform>(codec, known);
  }
};

}  // namespace

std::unique_ptr<EncoderCatalogue> make_encoder_catalogue() {
  // libavcodec would write to stderr by itself (failing hardware probes are loud); the host's
  // own log says what was tried and what was rejected.
  av_log_set_level(AV_LOG_QUIET);
  return std::make_unique<FfmpegCatalogue>();
}

}  // namespace tolvi::platform
