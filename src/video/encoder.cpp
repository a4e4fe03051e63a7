#include "video/encoder.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "base/log.h"
#include "base/log_limit.h"
#include "base/thread_start.h"

namespace tolvi {

namespace {

using platform::CodecProfile;
using platform::CodecSetting;
using platform::EncoderCandidate;
using platform::TransformEvent;
using platform::TransformStatus;
using platform::VideoCodec;

constexpr std::uint32_t kBitsPerKbit = 1000;
constexpr std::uint32_t kMaxRateNumerator = 1500;  // max rate = kbps x 1500 bits/s (1.5 x mean)
constexpr std::int32_t kGopSeconds = 3600;         // one key frame an hour unless asked
constexpr std::uint32_t kQualityVsSpeed = 33;
constexpr int kMaxOutputsPerDrain = 16;
constexpr std::int64_t kTicksPerMicrosecond = 10;  // encoder times are in 100-ns units
constexpr std::int64_t kTicksPerSecond = 10000000;

// Repeated failures are logged only the first few times in the life of the process.
constexpr std::uint32_t kLoggedFailures = 5;
LogFirstFew map_failures{kLoggedFailures};
LogFirstFew input_failures{kLoggedFailures};
LogFirstFew output_failures{kLoggedFailures};

// The identity of each codec setting in the log line: the first two fields of the GUID the
// Windows codec API knows it by, so that both backends log the same text.
struct SettingId {
  unsigned long data1;
  unsigned data2;
};
SettingId setting_id(CodecSetting setting) {
  switch (setting) {
    case CodecSetting::kRateControlMode:
      return {0x1c0608e9, 0x370c};
    case CodecSetting::kLowLatencyMode:
      return {0x9c27891a, 0xed7a};
    case CodecSetting::kMeanBitRate:
      return {0xf7222374, 0x2144};
    case CodecSetting::kMaxBitRate:
      return {0x9651eae4, 0x39b9};
    case CodecSetting::kGopSize:
      return {0x95f31b26, 0x95a4};
    case CodecSetting::kBPictureCount:
      return {0x8d390aac, 0xdc5c};
    case CodecSetting::kQualityVsSpeed:
      return {0x98332df8, 0x03cd};
  }
  return {0, 0};
}

const char* codec_name(bool hevc) { return hevc ? "HEVC" : "H.264"; }

}  // namespace

bool contains_sps(std::span<const std::uint8_t> data, bool hevc) {
  if (data.size() < 4) return false;
  std::size_t i = 0;
  while (i + 3 < data.size()) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      const std::uint8_t header = data[i + 3];
      const int type = hevc ? (header >> 1) & 0x3F : header & 0x1F;
      if (type == (hevc ? 33 : 7)) return true;
      i += 3;
    } else {
      ++i;
    }
  }
  return false;
}

bool Encoder::InputTokens::try_take() {
  int count = count_.load();
  while (count > 0) {
    if (count_.compare_exchange_weak(count, count - 1)) return true;
  }
  return false;
}

void Encoder::InputTokens::give() {
  int count = count_.load();
  while (count < kMax) {
    if (count_.compare_exchange_weak(count, count + 1)) return;
  }
}

bool HardwareEncoderProbes::usable(platform::EncoderCatalogue& catalogue,
                                   const EncoderCandidate& candidate) {
  std::string key = candidate.name + (candidate.codec == VideoCodec::kHevc ? "/hevc" : "/h264");
  if (candidate.adapter_id) {
    key += '/';  // not "/" + to_string(): GCC 12 at -O3 warns of an overlap (-Wrestrict)
    key += std::to_string(*candidate.adapter_id);
  }
  // Held while probing: two sessions starting together probe a candidate only once.
  std::lock_guard<std::mutex> guard(lock_);
  const auto known = usable_.find(key);
  if (known != usable_.end()) return known->second;
  const bool usable = catalogue.probe(candidate);
  if (!usable) {
    log_message("encoder %s (%s) not usable on this machine; not tried again",
                candidate.name.c_str(), codec_name(candidate.codec == VideoCodec::kHevc));
  }
  usable_.emplace(std::move(key), usable);
  return usable;
}

HardwareEncoderProbes& hardware_encoder_probes() {
  static HardwareEncoderProbes probes;
  return probes;
}

Encoder::~Encoder() { shutdown(); }

bool Encoder::open(std::shared_ptr<platform::EncoderCatalogue> catalogue, std::int32_t width,
                   std::int32_t height, std::int32_t fps, std::int32_t kbps, bool prefer_hevc,
                   FrameSink sink) {
  prefer_hevc_ = prefer_hevc;
  reinit_on_keyframe_ = false;
  catalogue_ = std::move(catalogue);
  width_ = width;
  height_ = height;
  fps_ = fps < 2 ? 1 : fps;
  kbps_ = kbps;
  sink_ = std::move(sink);
  if (!catalogue_) return false;

  const std::optional<std::uint64_t> capture_adapter = catalogue_->capture_adapter_id();
  std::vector<VideoCodec> codecs;
  if (prefer_hevc_) codecs.push_back(VideoCodec::kHevc);
  codecs.push_back(VideoCodec::kH264);

  for (VideoCodec codec : codecs) {
    std::vector<EncoderCandidate> candidates;
    if (!catalogue_->enumerate(codec, true, candidates)) continue;
    // Encoders on the adapter that holds the desktop first: no copy between adapters.
    std::stable_partition(candidates.begin(), candidates.end(), [&](const EncoderCandidate& c) {
      return capture_adapter && c.adapter_id && *c.adapter_id == *capture_adapter;
    });
    for (const EncoderCandidate& candidate : candidates) {
      if (!probes_.usable(*catalogue_, candidate)) continue;
      if (try_activate(candidate, codec == VideoCodec::kHevc, true)) return true;
    }
  }

  // Software fallback, H.264 only: software HEVC is too slow for live streaming.
  std::vector<EncoderCandidate> candidates;
  if (!catalogue_->enumerate(VideoCodec::kH264, false, candidates)) return false;
  for (const EncoderCandidate& candidate : candidates) {
    if (try_activate(candidate, false, false)) return true;
  }
  return false;
}

bool Encoder::try_activate(const EncoderCandidate& candidate, bool hevc, bool hardware) {
  std::unique_ptr<platform::EncoderTransform> transform = catalogue_->activate(candidate);
  if (!transform) return false;
  name_ = hardware ? "hardware" : "software";
  if (!candidate.name.empty()) name_ = candidate.name;
  is_async_ = transform->is_async();
  zero_copy_ = hardware && transform->zero_copy();
  transform_ = std::move(transform);
  is_hevc_ = hevc;
  is_hardware_ = hardware;

  if (!configure()) {
    log_message("encoder %s rejected %s %dx%d", name_.c_str(), codec_name(is_hevc_), width_,
                height_);
    transform_.reset();  // shuts the rejected candidate down
    return false;
  }
  if (!zero_copy_ && !transform_->prepare_upload()) {
    transform_.reset();
    return false;
  }
  stopping_.store(false);
  if (is_async_) {
    input_tokens_ = std::make_unique<InputTokens>();
    event_thread_ = start_thread([this] { event_loop(); });
  }
  transform_->begin_streaming();
  force_keyframe_.store(true);
  log_message("encoder: %s (%s, %s, %s)", name_.c_str(), codec_name(is_hevc_),
              is_async_ ? "async" : "sync", zero_copy_ ? "frames on the GPU" : "CPU upload");
  return true;
}

void Encoder::set_value(CodecSetting setting, std::uint32_t value) {
  if (!transform_->has_codec_api()) {
    log_message("encoder: no ICodecAPI");
    return;
  }
  const std::uint32_t error = transform_->set_value(setting, value);
  if (error != 0) {
    const SettingId id = setting_id(setting);
    log_message("encoder: SetValue %08lx-%04x = %u failed 0x%08lx", id.data1, id.data2, value,
                static_cast<unsigned long>(error));
  }
}

bool Encoder::configure() {
  // In 64 bits and within the 32-bit settings, whatever rate was asked for.
  const auto bits_per_second = [this](std::uint32_t per_kbit) {
    const std::int64_t rate = std::int64_t{std::max(kbps_, 1)} * per_kbit;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(rate, 0xffffffff));
  };
  const std::uint32_t bit_rate = bits_per_second(kBitsPerKbit);
  transform_->set_low_latency();
  set_value(CodecSetting::kRateControlMode, platform::kRateControlLowDelayVbr);
  set_value(CodecSetting::kLowLatencyMode, 1);
  set_value(CodecSetting::kMeanBitRate, bit_rate);
  set_value(CodecSetting::kMaxBitRate, bits_per_second(kMaxRateNumerator));
  set_value(CodecSetting::kGopSize, static_cast<std::uint32_t>(fps_ * kGopSeconds));
  set_value(CodecSetting::kBPictureCount, 0);
  set_value(CodecSetting::kQualityVsSpeed, kQualityVsSpeed);

  platform::OutputFormat output;
  output.codec = is_hevc_ ? VideoCodec::kHevc : VideoCodec::kH264;
  output.profile = is_hevc_ ? CodecProfile::kHevcMain : CodecProfile::kH264High;
  output.width = width_;
  output.height = height_;
  output.fps = fps_;
  output.bit_rate = bit_rate;
  if (!transform_->set_output_format(output)) {
    if (is_hevc_) return false;
    output.profile = CodecProfile::kH264Main;
    if (!transform_->set_output_format(output)) return false;
  }
  if (!transform_->set_input_format({width_, height_, fps_})) return false;
  sequence_header_ = transform_->sequence_header();
  set_value(CodecSetting::kMeanBitRate, bit_rate);
  return true;
}

bool Encoder::encode_frame(const platform::Nv12Image& frame, std::uint64_t time_us) {
  if (!transform_ || stopping_.load()) return false;
  if (is_async_ && !input_tokens_->try_take()) return false;

  if (force_keyframe_.exchange(false)) {
    if (reinit_on_keyframe_ && !is_async_) {
      // A fresh encoder starts with a key frame; rebuilding is the way for encoders that
      // refuse to force one.
      std::shared_ptr<platform::EncoderCatalogue> catalogue = catalogue_;
      FrameSink sink = sink_;
      shutdown();
      if (!open(std::move(catalogue), width_, height_, fps_, kbps_, prefer_hevc_,
                std::move(sink))) {
        log_message("encoder: re-init for keyframe failed");
        return false;
      }
      reinit_on_keyframe_ = true;
      force_keyframe_.store(false);
    } else if (transform_->has_codec_api() && !transform_->force_keyframe()) {
      // This frame goes out as it is; the next request rebuilds the encoder.
      reinit_on_keyframe_ = true;
    }
  }

  const auto time = static_cast<std::int64_t>(time_us) * kTicksPerMicrosecond;
  const std::int64_t duration = kTicksPerSecond / fps_;
  platform::TransformResult result = transform_->process_input(frame, time, duration);
  if (result.status == TransformStatus::kBufferFailed) {
    if (zero_copy_) {
      log_message("encoder: surface buffer failed");
    } else if (map_failures.should_log()) {
      log_message("encoder: Map failed 0x%08lx", static_cast<unsigned long>(result.code));
    }
    // The transform asked for one input and got none: keep its request, or an asynchronous
    // encoder would wait for ever.
    if (is_async_) input_tokens_->give();
    return false;
  }
  if (result.status == TransformStatus::kOk) {
    frames_in_.fetch_add(1);
    if (!is_async_) drain_output();
    return true;
  }

  if (input_failures.should_log()) {
    log_message("encoder: ProcessInput failed 0x%08lx", static_cast<unsigned long>(result.code));
  }
  if (is_async_) {
    input_tokens_->give();
    return false;
  }
  if (result.status == TransformStatus::kNotAccepting) {
    drain_output();
    result = transform_->process_input(frame, time, duration);
    drain_output();
    return result.status == TransformStatus::kOk;
  }
  drain_output();
  return false;
}

void Encoder::drain_output() {
  for (int i = 0; i < kMaxOutputsPerDrain; ++i) {
    if (process_output() != TransformStatus::kOk) break;
  }
}

TransformStatus Encoder::process_output() {
  const platform::EncodedOutput output = transform_->process_output();
  switch (output.status) {
    case TransformStatus::kStreamChange:
      transform_->accept_output_change();
      return output.status;
    case TransformStatus::kNeedMoreInput:
      need_more_input_.fetch_add(1);
      return output.status;
    case TransformStatus::kOk:
      break;
    default:
      if (output_failures.should_log()) {
        log_message("encoder: ProcessOutput failed 0x%08lx",
                    static_cast<unsigned long>(output.code));
      }
      return output.status;
  }

  frames_out_.fetch_add(1);
  if (!output.readable) return output.status;
  const bool keyframe = output.clean_point;
  const std::uint64_t time_us =
      output.time ? static_cast<std::uint64_t>(*output.time / kTicksPerMicrosecond) : 0;
  std::lock_guard lock(sink_lock_);
  if (!sink_) return output.status;
  if (keyframe && !sequence_header_.empty() && !contains_sps(output.data, is_hevc_)) {
    std::vector<std::uint8_t> completed;
    completed.reserve(sequence_header_.size() + output.data.size());
    completed.insert(completed.end(), sequence_header_.begin(), sequence_header_.end());
    completed.insert(completed.end(), output.data.begin(), output.data.end());
    sink_(completed.data(), completed.size(), true, time_us);
  } else {
    sink_(output.data.data(), output.data.size(), keyframe, time_us);
  }
  return output.status;
}

void Encoder::event_loop() {
  while (!stopping_.load()) {
    switch (transform_->wait_event()) {
      case TransformEvent::kFailed:
      case TransformEvent::kDrainComplete:
        return;
      case TransformEvent::kNeedInput:
        input_tokens_->give();
        break;
      case TransformEvent::kHaveOutput:
        process_output();
        break;
      case TransformEvent::kOther:
        break;
    }
  }
}

void Encoder::shutdown() {
  if (!transform_) return;
  stopping_.store(true);
  transform_->end_of_stream_and_flush();
  if (is_async_) {
    transform_->interrupt_events();
    if (event_thread_.joinable()) event_thread_.join();
    input_tokens_.reset();
  }
  transform_->end_streaming();
  transform_.reset();
}

}  // namespace tolvi
