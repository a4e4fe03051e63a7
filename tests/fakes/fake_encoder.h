#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/encoder.h"

namespace tolvi::fakes {

// What one scripted output attempt returns.
struct FakeOutput {
  platform::TransformStatus status = platform::TransformStatus::kOk;
  std::vector<std::uint8_t> data;
  bool clean_point = false;
  std::optional<std::int64_t> time;
  bool readable = true;
  std::uint32_t code = 0;
};

// How a FakeTransform behaves and what it saw. Shared with the test, so it outlives the
// transform and can be inspected after the encoder released it.
struct FakeTransformState {
  // Behaviour.
  bool probe_fails = false;  // the catalogue's probe says the hardware is absent
  bool activate_fails = false;
  bool async = false;
  bool zero_copy = false;
  bool codec_api = true;
  bool refuse_high_profile = false;
  bool refuse_output = false;
  bool refuse_input = false;
  bool upload_fails = false;
  bool force_keyframe_fails = false;
  std::map<platform::CodecSetting, std::uint32_t> setting_errors;
  std::vector<std::uint8_t> sequence_header;
  // Results of process_input, front first; kOk once empty.
  std::deque<platform::TransformResult> input_results;
  // Results of process_output, front first; kNeedMoreInput once empty.
  std::deque<FakeOutput> outputs;
  // With echo, every accepted input queues one output: a slice NAL (IDR when a key frame was
  // forced or it is the first frame) with the input's time.
  bool echo = true;
  // Called with each input's time before it is taken (on the encoding thread).
  std::function<void(std::int64_t time)> on_input;

  // What happened, in order ("activate", "set_value <n> <v>", "output <profile>",
  // "input <w>x<h>", "begin", "force_keyframe", "process_input <time> <duration>",
  // "accept_output_change", "eos_flush", "interrupt", "end_streaming", "destroyed").
  std::vector<std::string> calls;
  std::vector<platform::OutputFormat> output_formats;
  std::vector<std::optional<platform::DesktopRect>> changes;  // each input's change, in order
  int inputs_accepted = 0;
  bool keyframe_pending = true;

  // Asynchronous events.
  std::deque<platform::TransformEvent> events;
  bool interrupted = false;
  bool waiting = false;

  std::mutex lock;
  std::condition_variable changed;

  void record(std::string call) {
    std::lock_guard guard(lock);
    calls.push_back(std::move(call));
  }
  int count(const std::string& prefix) {
    std::lock_guard guard(lock);
    int n = 0;
    for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
    return n;
  }
  void post_event(platform::TransformEvent event) {
    std::lock_guard guard(lock);
    events.push_back(event);
    changed.notify_all();
  }
  // Waits until the event thread took every posted event and waits for the next.
  void wait_events_taken() {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return events.empty() && waiting; });
  }
};

class FakeTransform : public platform::EncoderTransform {
 public:
  explicit FakeTransform(std::shared_ptr<FakeTransformState> state) : s_(std::move(state)) {
    s_->record("activate");
  }
  ~FakeTransform() override { s_->record("destroyed"); }

  bool is_async() const override { return s_->async; }
  bool zero_copy() const override { return s_->zero_copy; }
  bool has_codec_api() const override { return s_->codec_api; }
  void set_low_latency() override { s_->record("low_latency"); }
  std::uint32_t set_value(platform::CodecSetting setting, std::uint32_t value) override {
    s_->record("set_value " + std::to_string(static_cast<int>(setting)) + " " +
               std::to_string(value));
    auto it = s_->setting_errors.find(setting);
    return it == s_->setting_errors.end() ? 0 : it->second;
  }
  bool set_output_format(const platform::OutputFormat& format) override {
    s_->record("output " + std::to_string(static_cast<int>(format.profile)));
    s_->output_formats.push_back(format);
    if (s_->refuse_output) return false;
    return !(s_->refuse_high_profile && format.profile == platform::CodecProfile::kH264High);
  }
  bool set_input_format(const platform::InputFormat& format) override {
    s_->record("input " + std::to_string(format.width) + "x" + std::to_string(format.height) + "@" +
               std::to_string(format.fps));
    return !s_->refuse_input;
  }
  std::vector<std::uint8_t> sequence_header() override { return s_->sequence_header; }
  bool prepare_upload() override {
    s_->record("prepare_upload");
    return !s_->upload_fails;
  }
  void begin_streaming() override { s_->record("begin"); }
  bool force_keyframe() override {
    s_->record("force_keyframe");
    if (s_->force_keyframe_fails) return false;
    std::lock_guard guard(s_->lock);
    s_->keyframe_pending = true;
    return true;
  }
  platform::TransformResult process_input(const platform::Nv12Image& image, std::int64_t time,
                                          std::int64_t duration) override {
    if (s_->on_input) s_->on_input(time);
    s_->record("process_input " + std::to_string(time) + " " + std::to_string(duration));
    s_->changes.push_back(image.changed);
    std::lock_guard guard(s_->lock);
    platform::TransformResult result{platform::TransformStatus::kOk, 0};
    if (!s_->input_results.empty()) {
      result = s_->input_results.front();
      s_->input_results.pop_front();
    }
    if (result.status == platform::TransformStatus::kOk) {
      ++s_->inputs_accepted;
      if (s_->echo) {
        const bool key = s_->keyframe_pending;
        s_->keyframe_pending = false;
        FakeOutput out;
        out.data = {0, 0, 0, 1, static_cast<std::uint8_t>(key ? 0x65 : 0x41), 0xAA};
        out.clean_point = key;
        out.time = time;
        s_->outputs.push_back(out);
      }
    }
    return result;
  }
  platform::EncodedOutput process_output() override {
    std::lock_guard guard(s_->lock);
    s_->calls.push_back("process_output");
    platform::EncodedOutput out;
    if (s_->outputs.empty()) {
      out.status = platform::TransformStatus::kNeedMoreInput;
      out.code = 0xC00D6D72;
      return out;
    }
    current_ = std::move(s_->outputs.front());
    s_->outputs.pop_front();
    out.status = current_.status;
    out.code = current_.code;
    out.readable = current_.readable;
    out.data = current_.data;
    out.clean_point = current_.clean_point;
    out.time = current_.time;
    return out;
  }
  bool accept_output_change() override {
    s_->record("accept_output_change");
    return true;
  }
  platform::TransformEvent wait_event() override {
    std::unique_lock guard(s_->lock);
    s_->waiting = true;
    s_->changed.notify_all();
    s_->changed.wait(guard, [&] { return s_->interrupted || !s_->events.empty(); });
    s_->waiting = false;
    if (s_->interrupted) return platform::TransformEvent::kFailed;
    const platform::TransformEvent event = s_->events.front();
    s_->events.pop_front();
    return event;
  }
  void end_of_stream_and_flush() override { s_->record("eos_flush"); }
  void interrupt_events() override {
    s_->record("interrupt");
    std::lock_guard guard(s_->lock);
    s_->interrupted = true;
    s_->changed.notify_all();
  }
  void end_streaming() override { s_->record("end_streaming"); }

 private:
  std::shared_ptr<FakeTransformState> s_;
  FakeOutput current_;
};

// A catalogue of scripted candidates. Each candidate has its own state; activating a
// candidate again (a rebuild) makes a new transform over the same state.
class FakeCatalogue : public platform::EncoderCatalogue {
 public:
  struct Entry {
    platform::EncoderCandidate candidate;
    std::shared_ptr<FakeTransformState> state;
  };

  std::shared_ptr<FakeTransformState> add(std::string name, platform::VideoCodec codec,
                                          bool hardware,
                                          std::optional<std::uint64_t> adapter = std::nullopt) {
    Entry entry;
    entry.candidate.name = std::move(name);
    entry.candidate.codec = codec;
    entry.candidate.hardware = hardware;
    entry.candidate.adapter_id = adapter;
    entry.candidate.handle = static_cast<std::uint32_t>(entries.size());
    entry.state = std::make_shared<FakeTransformState>();
    entries.push_back(entry);
    return entry.state;
  }

  std::optional<std::uint64_t> capture_adapter_id() const override { return capture_adapter; }
  bool enumerate(platform::VideoCodec codec, bool hardware,
                 std::vector<platform::EncoderCandidate>& candidates) override {
    enumerations.push_back((hardware ? "hw " : "sw ") +
                           std::string(codec == platform::VideoCodec::kHevc ? "hevc" : "h264"));
    if (failing_enumerations.count(enumerations.back())) return false;
    for (const Entry& e : entries) {
      if (e.candidate.codec == codec && e.candidate.hardware == hardware) {
        candidates.push_back(e.candidate);
      }
    }
    return true;
  }
  bool probe(const platform::EncoderCandidate& candidate) override {
    probes.push_back(candidate.name);
    return !entries.at(candidate.handle).state->probe_fails;
  }
  std::unique_ptr<platform::EncoderTransform> activate(
      const platform::EncoderCandidate& candidate) override {
    activations.push_back(candidate.name);
    const Entry& entry = entries.at(candidate.handle);
    if (entry.state->activate_fails) return nullptr;
    return std::make_unique<FakeTransform>(entry.state);
  }

  std::optional<std::uint64_t> capture_adapter;
  std::vector<Entry> entries;
  std::vector<std::string> enumerations;
  std::set<std::string> failing_enumerations;
  std::vector<std::string> activations;
  std::vector<std::string> probes;
};

}  // namespace tolvi::fakes
