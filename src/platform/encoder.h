#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/converter.h"

namespace tolvi::platform {

// Video encoders as the platform offers them: a catalogue of candidates and, once one is
// activated, a transform that takes NV12 frames and gives access units. Discovery order,
// settings, key-frame forcing, draining and parameter-set handling belong to the caller
// (video/encoder.h). Nothing here logs.

enum class VideoCodec : std::uint8_t { kH264 = 1, kHevc = 2 };

struct EncoderCandidate {
  std::string name;  // the encoder's own name, UTF-8; may be empty
  VideoCodec codec = VideoCodec::kH264;
  bool hardware = false;
  std::optional<std::uint64_t> adapter_id;  // the graphics adapter it runs on, when known
  bool async = false;                       // as enumerated; the transform has the final word
  std::uint32_t handle = 0;                 // the catalogue's own reference to the candidate
};

// Codec settings the caller applies, each a 32-bit unsigned value.
enum class CodecSetting {
  kRateControlMode,  // 4: low-delay VBR
  kLowLatencyMode,   // 1: on
  kMeanBitRate,      // bits per second
  kMaxBitRate,       // bits per second
  kGopSize,          // frames between key frames
  kBPictureCount,    // B-frames between references
  kQualityVsSpeed,   // 0 fastest .. 100 best quality
};
constexpr std::uint32_t kRateControlLowDelayVbr = 4;

enum class CodecProfile : std::uint32_t { kHevcMain = 1, kH264Main = 77, kH264High = 100 };

// The stream the encoder produces. The colour description is always BT.709 primaries, matrix
// and transfer, studio range (16..235), progressive, square pixels.
struct OutputFormat {
  VideoCodec codec = VideoCodec::kH264;
  CodecProfile profile = CodecProfile::kH264High;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t fps = 1;
  std::uint32_t bit_rate = 0;  // average, bits per second
};

// The frames the encoder takes: NV12 with the same colour description as the output.
struct InputFormat {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t fps = 1;
};

enum class TransformStatus {
  kOk,             // input accepted, output produced, or the request done
  kNotAccepting,   // input refused until output has been taken
  kNeedMoreInput,  // no output until more input arrives
  kStreamChange,   // the output format changed: call accept_output_change()
  kBufferFailed,   // the input frame could not be handed over (surface wrap or upload)
  kError,
};

struct TransformResult {
  TransformStatus status = TransformStatus::kError;
  std::uint32_t code = 0;  // the platform's error code, for the log
};

// One output attempt. With status kOk: one access unit in byte-stream form (start codes).
struct EncodedOutput {
  TransformStatus status = TransformStatus::kError;
  std::uint32_t code = 0;
  bool readable = false;               // the data could be read; else nothing is to be sent
  std::span<const std::uint8_t> data;  // valid until the next process_output() or destruction
  bool clean_point = false;            // a key frame
  std::optional<std::int64_t> time;    // the input's time carried through, 100-ns units
};

// Events of an asynchronous transform.
enum class TransformEvent { kNeedInput, kHaveOutput, kDrainComplete, kOther, kFailed };

// An activated encoder. Destroying it releases (and for a rejected candidate, shuts down)
// the platform encoder. An asynchronous transform allows process_output() and wait_event()
// on one other thread while the owner feeds input; everything else is the owner's thread.
class EncoderTransform {
 public:
  virtual ~EncoderTransform() = default;

  virtual bool is_async() const = 0;
  // Takes frames on the graphics adapter without a copy to memory.
  virtual bool zero_copy() const = 0;
  // Whether set_value() and force_keyframe() can be used at all.
  virtual bool has_codec_api() const = 0;

  // Configuration, before begin_streaming(), in the caller's order.
  virtual void set_low_latency() = 0;
  // 0 when applied, else the platform's error code.
  virtual std::uint32_t set_value(CodecSetting setting, std::uint32_t value) = 0;
  virtual bool set_output_format(const OutputFormat& format) = 0;
  virtual bool set_input_format(const InputFormat& format) = 0;
  // The codec's parameter sets in byte-stream form (e.g. SPS and PPS), empty when unknown.
  virtual std::vector<std::uint8_t> sequence_header() = 0;
  // Resources for handing over frames from memory (when not zero_copy); false when impossible.
  virtual bool prepare_upload() = 0;

  virtual void begin_streaming() = 0;

  // Makes the next frame a key frame; false when the encoder refuses to.
  virtual bool force_keyframe() = 0;
  // One frame; time and duration in 100-ns units.
  virtual TransformResult process_input(const Nv12Image& frame, std::int64_t time,
                                        std::int64_t duration) = 0;
  virtual EncodedOutput process_output() = 0;
  // After kStreamChange: takes the first output format the encoder offers.
  virtual bool accept_output_change() = 0;

  // Asynchronous transforms only: blocks until the next event.
  virtual TransformEvent wait_event() = 0;

  // Shutdown, in this order: end of stream and flush (output still inside is dropped); for an
  // asynchronous transform, interrupt_events() (wait_event() returns kFailed from then on);
  // end_streaming().
  virtual void end_of_stream_and_flush() = 0;
  virtual void interrupt_events() = 0;
  virtual void end_streaming() = 0;
};

class EncoderCatalogue {
 public:
  virtual ~EncoderCatalogue() = default;

  // The adapter that captures the desktop, when known.
  virtual std::optional<std::uint64_t> capture_adapter_id() const = 0;

  // The platform's candidates for NV12 in and `codec` out, hardware or software, in the
  // platform's own order of preference. False when enumeration itself failed.
  virtual bool enumerate(VideoCodec codec, bool hardware,
                         std::vector<EncoderCandidate>& candidates) = 0;

  // Whether a hardware candidate can run on this machine at all: its device is present and it
  // opens for a common stream. Costly (it opens devices), so the caller asks once per process
  // for each candidate and keeps the answer. A platform whose enumeration lists only hardware
  // that is present answers true.
  virtual bool probe(const EncoderCandidate&) { return true; }

  // A transform for the candidate, not yet configured; null when it cannot be activated.
  virtual std::unique_ptr<EncoderTransform> activate(const EncoderCandidate& candidate) = 0;
};

// The encoders this platform can use; null when there are none.
std::unique_ptr<EncoderCatalogue> make_encoder_catalogue();

}  // namespace tolvi::platform
