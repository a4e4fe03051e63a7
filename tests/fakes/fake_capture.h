#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "display/display_controller.h"
#include "platform/capture.h"
#include "platform/converter.h"
#include "video/stream_host.h"

namespace tolvi::fakes {

// Time that moves only when slept through or when a fake waits for its next event. Read from
// any thread (an encoder's sink may send from its own).
class FakeClock : public Clock {
 public:
  std::uint64_t now_us() override { return now; }
  void sleep_ms(std::uint32_t ms) override { now += std::uint64_t{ms} * 1000; }
  std::atomic<std::uint64_t> now{1000000};
};

// A pointer shape as the platform reports it.
struct FakeShape {
  platform::PointerShapeInfo info;
  std::vector<std::uint8_t> bytes;
};

// Something that happens on the fake desktop at a given time.
struct DesktopEvent {
  std::uint64_t at_us = 0;
  platform::AcquireStatus status = platform::AcquireStatus::kFrame;
  bool picture = false;  // the picture changed
  bool pointer = false;  // pointer news: visibility and maybe a shape
  bool pointer_visible = true;
  std::optional<FakeShape> shape;
  std::optional<platform::DesktopRect> new_rect;  // the desktop's size changes with the event
  std::optional<platform::DesktopRect> changed;   // what the copy changes; unset: everything
  // What becomes of the capture device that made the current duplication.
  enum class DeviceFate { kKept, kLost, kStale } device = DeviceFate::kKept;
};

// The desktop behind the fake capture device, shared by all its duplications.
struct FakeDesktopState {
  explicit FakeDesktopState(FakeClock& c) : clock(c) {}
  FakeClock& clock;
  platform::DesktopRect rect{0, 0, 1920, 1080};
  int failing_opens = 0;  // this many opens fail first (-1: all)
  platform::PlatformProblem open_problem;  // what a failed open reports
  // Set: every copy fails and reports this (a surface the image cannot hold).
  std::optional<platform::PlatformProblem> copy_problem;
  // Capture devices made so far, numbered from 1; a lost device says so and opens nothing
  // again, a stale one only opens nothing again (an output that went away under it).
  int devices_made = 0;
  std::set<int> lost_devices;
  std::set<int> stale_devices;
  // How late the loop wakes for successive events (cycled; empty: on time).
  std::vector<std::uint64_t> wake_latencies_us;
  std::size_t events_seen = 0;
  std::deque<DesktopEvent> events;
  // What happened.
  int opens = 0;
  int acquires = 0;
  // Each new picture gets the next generation, written into its first pixel.
  std::uint8_t generation = 0;
};

class FakeDuplication : public platform::OutputDuplication {
 public:
  FakeDuplication(FakeDesktopState& s, int device) : s_(s), device_(device), rect_(s.rect) {}
  platform::DesktopRect desktop_rect() const override { return rect_; }
  platform::AcquireResult acquire_next_frame(std::uint32_t timeout_ms) override {
    ++s_.acquires;
    platform::AcquireResult result;
    current_.reset();
    if (fresh_) {
      // Like a real duplication: the first acquire delivers the current picture.
      fresh_ = false;
      result.status = platform::AcquireStatus::kFrame;
      result.info.present = true;
      ++s_.generation;
      return result;
    }
    const std::uint64_t until = s_.clock.now + std::uint64_t{timeout_ms} * 1000;
    if (s_.events.empty() || s_.events.front().at_us > until) {
      s_.clock.now = until;
      result.status = platform::AcquireStatus::kTimeout;
      return result;
    }
    DesktopEvent event = std::move(s_.events.front());
    s_.events.pop_front();
    s_.clock.now = std::max(s_.clock.now.load(), event.at_us);
    if (!s_.wake_latencies_us.empty()) {
      s_.clock.now += s_.wake_latencies_us[s_.events_seen++ % s_.wake_latencies_us.size()];
    }
    if (event.new_rect) s_.rect = *event.new_rect;
    if (event.device == DesktopEvent::DeviceFate::kLost) s_.lost_devices.insert(device_);
    if (event.device == DesktopEvent::DeviceFate::kStale) s_.stale_devices.insert(device_);
    result.status = event.status;
    result.error_code = event.status == platform::AcquireStatus::kFrame ? 0 : 0x887A0026;
    if (event.status != platform::AcquireStatus::kFrame) return result;
    result.info.present = event.picture;
    if (event.picture) ++s_.generation;
    result.info.pointer_updated = event.pointer;
    result.info.pointer_visible = event.pointer_visible;
    if (event.shape)
      result.info.pointer_shape_bytes = static_cast<std::uint32_t>(event.shape->bytes.size());
    changed_ = event.changed;
    current_ = std::move(event);
    return result;
  }
  bool get_pointer_shape(std::span<std::uint8_t> buffer,
                         platform::PointerShapeInfo& info) override {
    if (!current_ || !current_->shape || buffer.size() < current_->shape->bytes.size())
      return false;
    std::copy(current_->shape->bytes.begin(), current_->shape->bytes.end(), buffer.begin());
    info = current_->shape->info;
    return true;
  }
  bool copy_frame_to(platform::DesktopImage& image) override {
    if (s_.copy_problem) return false;
    if (image.width != rect_.width() || image.height != rect_.height()) {
      image.resize(rect_.width(), rect_.height());
    }
    image.row(0)[0] = s_.generation;
    copied_ = changed_;
    changed_.reset();
    return true;
  }
  void release_frame() override {}
  platform::PlatformProblem copy_problem() const override {
    return s_.copy_problem.value_or(platform::PlatformProblem{});
  }
  platform::DesktopRect copied_change() const override {
    return copied_ ? *copied_ : platform::OutputDuplication::copied_change();
  }

 private:
  FakeDesktopState& s_;
  int device_;
  platform::DesktopRect rect_;
  bool fresh_ = true;
  std::optional<DesktopEvent> current_;
  std::optional<platform::DesktopRect> changed_;
  std::optional<platform::DesktopRect> copied_;
};

class FakeCaptureDevice : public platform::CaptureDevice {
 public:
  explicit FakeCaptureDevice(FakeDesktopState& s) : s_(s), id_(++s.devices_made) {}
  std::string output_name() const override { return "fake-0"; }
  std::unique_ptr<platform::OutputDuplication> open_duplication() override {
    ++s_.opens;
    if (lost() || s_.stale_devices.count(id_)) return nullptr;
    if (s_.failing_opens != 0) {
      if (s_.failing_opens > 0) --s_.failing_opens;
      return nullptr;
    }
    return std::make_unique<FakeDuplication>(s_, id_);
  }
  platform::PlatformProblem open_problem() const override { return s_.open_problem; }
  bool lost() const override { return s_.lost_devices.count(id_) != 0; }

 private:
  FakeDesktopState& s_;
  int id_;
};

// Records each conversion: the picture's generation and the target slot.
struct FakeConverterState {
  bool init_fails = false;
  bool convert_fails = false;
  std::function<void()> on_convert;  // called after each conversion
  std::vector<std::uint8_t> generations;
  std::vector<const platform::Nv12Image*> targets;
  std::vector<platform::DesktopRect> areas;  // the area each conversion was given
  int inits = 0;
};

class FakeConverter : public platform::VideoConverter {
 public:
  explicit FakeConverter(FakeConverterState& s) : s_(s) {}
  bool init(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t) override {
    ++s_.inits;
    return !s_.init_fails;
  }
  bool convert(const platform::DesktopImage& source, platform::Nv12Image& target) override {
    if (s_.convert_fails) return false;
    s_.generations.push_back(source.height == 0 ? 0 : source.row(0)[0]);
    s_.targets.push_back(&target);
    if (s_.on_convert) s_.on_convert();
    return true;
  }
  bool convert_area(const platform::DesktopImage& source, platform::Nv12Image& target,
                    const platform::DesktopRect& area) override {
    s_.areas.push_back(area);
    return convert(source, target);
  }

 private:
  FakeConverterState& s_;
};

// One message the capture loop sent, with the fake time it was sent at.
struct SentMessage {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  std::uint64_t at_us = 0;
};

// The session side of the capture loop: configurations and key-frame requests arrive at
// scripted times; the connection closes at `end_us`; the backlog follows `backlog`.
class FakeStreamHost : public StreamHost {
 public:
  explicit FakeStreamHost(FakeClock& c) : clock(c) {}

  bool take_pending_config(ClientConfig& out) override {
    if (configs.empty() || configs.front().first > clock.now) return false;
    out = configs.front().second;
    configs.pop_front();
    return true;
  }
  bool take_keyframe_request() override {
    if (keyframe_requests.empty() || keyframe_requests.front() > clock.now) return false;
    keyframe_requests.pop_front();
    return true;
  }
  ClientConfig& current_config() override { return current; }
  void set_input_target(const platform::DesktopRect& rect) override {
    input_targets.push_back(rect);
  }
  // The encoder's sink may send from another thread; `sent` is read once the loop returned.
  void send_message(std::uint8_t type, const std::uint8_t* data, std::size_t length) override {
    std::lock_guard guard(send_lock);
    sent.push_back({type, std::vector<std::uint8_t>(data, data + length), clock.now});
  }
  std::uint64_t main_backlog() override {
    ++backlog_reads;
    return backlog ? backlog(clock.now) : 0;
  }
  std::uint64_t congestion_limit() override { return limit; }
  void set_congestion_limit(std::uint64_t bytes) override { limit = bytes; }
  void close_connection() override { closed = true; }
  bool connection_closed() override { return closed || clock.now >= end_us; }

  std::vector<SentMessage> of_type(std::uint8_t type) const {
    std::vector<SentMessage> out;
    for (const SentMessage& m : sent) {
      if (m.type == type) out.push_back(m);
    }
    return out;
  }

  FakeClock& clock;
  std::deque<std::pair<std::uint64_t, ClientConfig>> configs;  // (time, configuration)
  std::deque<std::uint64_t> keyframe_requests;
  std::function<std::uint64_t(std::uint64_t now)> backlog;
  ClientConfig current;
  std::uint64_t limit = 262144;
  std::uint64_t end_us = ~std::uint64_t{0};
  bool closed = false;
  int backlog_reads = 0;
  std::mutex send_lock;
  std::vector<SentMessage> sent;
  std::vector<platform::DesktopRect> input_targets;
};

class FakeDisplayController : public DisplayController {
 public:
  void set_device_name(const std::string& name) override { device = name; }
  bool apply_client_display(std::int32_t, std::int32_t, double) override {
    ++applies;
    return changes_mode;
  }
  void restore() override { ++restores; }
  std::string device;
  bool changes_mode = false;
  int applies = 0;
  int restores = 0;
};

}  // namespace tolvi::fakes
