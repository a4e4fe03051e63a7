#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/encoder.h"
#include "video/frame_sink.h"

namespace tolvi {

// Whether an access unit already holds a sequence parameter set: a start code 00 00 01
// followed by an SPS NAL header (H.264 type 7, HEVC type 33).
bool contains_sps(std::span<const std::uint8_t> data, bool hevc);

// Which hardware encoders can run on this machine. Probing one opens its device (CUDA, a DRM
// node, ...), and a device that is absent stays absent for the life of the process, so each
// candidate is probed once, the answer kept, and an unusable one logged once. Any thread.
class HardwareEncoderProbes {
 public:
  bool usable(platform::EncoderCatalogue& catalogue, const platform::EncoderCandidate& candidate);

 private:
  std::mutex lock_;
  std::map<std::string, bool> usable_;  // by name, codec and adapter
};

// The process's probes, shared by every session's encoders.
HardwareEncoderProbes& hardware_encoder_probes();

// The stream's encoder: finds a platform encoder (hardware first, preferably on the capture
// adapter; HEVC before H.264 when preferred; software H.264 last), configures it for
// low-latency streaming, feeds it frames, forces key frames, collects access units and hands
// them to the sink with the parameter sets in front of every key frame that lacks them.
//
// Threads: open, encode_frame, drain_output and shutdown run on the capture-loop thread. An
// asynchronous encoder's own event thread takes output (process_output) and input requests
// concurrently; the sink is called under a lock, one access unit at a time, in output order.
class Encoder {
 public:
  explicit Encoder(HardwareEncoderProbes& probes = hardware_encoder_probes()) : probes_(probes) {}
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Finds, configures and starts an encoder for NV12 frames of width x height. fps below 2
  // counts as 1; kbps is the bit-rate cap. Afterwards a key frame is due.
  bool open(std::shared_ptr<platform::EncoderCatalogue> catalogue, std::int32_t width,
            std::int32_t height, std::int32_t fps, std::int32_t kbps, bool prefer_hevc,
            FrameSink sink);

  // Feeds one frame (of the open size) with its capture time. True when the encoder took it.
  bool encode_frame(const platform::Nv12Image& frame, std::uint64_t time_us);

  // The next frame handed to encode_frame becomes a key frame. Any thread.
  void request_keyframe() { force_keyframe_.store(true); }

  // Synchronous encoders: takes up to 16 outputs, stopping at the first that is not one.
  void drain_output();
  // One attempt to take one output and pass it to the sink.
  platform::TransformStatus process_output();

  // Stops and releases the platform encoder; output still inside it is dropped.
  void shutdown();

  bool is_open() const { return transform_ != nullptr; }
  bool is_hevc() const { return is_hevc_; }
  bool is_async() const { return is_async_; }
  bool zero_copy() const { return zero_copy_; }
  bool is_hardware() const { return is_hardware_; }
  const std::string& name() const { return name_; }
  const std::vector<std::uint8_t>& sequence_header() const { return sequence_header_; }

  std::uint32_t frames_in() const { return frames_in_.load(); }
  std::uint32_t frames_out() const { return frames_out_.load(); }
  std::uint32_t need_more_input() const { return need_more_input_.load(); }

 private:
  // Input requests of an asynchronous encoder, counted up to a maximum; never blocks.
  class InputTokens {
   public:
    static constexpr int kMax = 1000;
    bool try_take();
    void give();

   private:
    std::atomic<int> count_{0};
  };

  bool try_activate(const platform::EncoderCandidate& candidate, bool hevc, bool hardware);
  bool configure();
  void set_value(platform::CodecSetting setting, std::uint32_t value);
  void event_loop();

  HardwareEncoderProbes& probes_;
  std::shared_ptr<platform::EncoderCatalogue> catalogue_;
  std::unique_ptr<platform::EncoderTransform> transform_;
  bool reinit_on_keyframe_ = false;
  bool prefer_hevc_ = false;
  bool is_async_ = false;
  bool zero_copy_ = false;
  bool is_hevc_ = false;
  bool is_hardware_ = false;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::int32_t fps_ = 1;
  std::int32_t kbps_ = 0;
  std::atomic<std::uint32_t> frames_in_{0};
  std::atomic<std::uint32_t> frames_out_{0};
  std::atomic<std::uint32_t> need_more_input_{0};
  std::atomic<bool> force_keyframe_{true};
  std::atomic<bool> stopping_{false};
  std::unique_ptr<InputTokens> input_tokens_;
  std::thread event_thread_;
  std::vector<std::uint8_t> sequence_header_;
  std::string name_;
  FrameSink sink_;
  std::mutex sink_lock_;
};

}  // namespace tolvi
