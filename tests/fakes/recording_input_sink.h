#pragma once
#include <cstdio>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/input.h"

namespace tolvi {

// An input sink that records each batch it is given, with a virtual screen the test chooses.
class RecordingInputSink : public platform::InputSink {
 public:
  using Batch = std::vector<platform::InputEvent>;
  // Called with each batch as text (see describe()), for logs shared with other fakes.
  using Observer = std::function<void(const std::string&)>;

  explicit RecordingInputSink(platform::VirtualScreen screen = {0, 0, 1920, 1080},
                              Observer observer = {})
      : screen_(screen), observer_(std::move(observer)) {}

  bool inject(std::span<const platform::InputEvent> events) override {
    std::lock_guard<std::mutex> guard(lock_);
    batches_.emplace_back(events.begin(), events.end());
    if (observer_) {
      for (const platform::InputEvent& e : events) observer_(describe(e));
    }
    return working;
  }
  platform::VirtualScreen virtual_screen() override { return screen_; }

  std::vector<Batch> batches() {
    std::lock_guard<std::mutex> guard(lock_);
    return batches_;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock_);
    batches_.clear();
  }

  // "mouse 0xc001 16384 32768 0" (flags, dx, dy, mouse data) or "key 0x1e 0x0008" (scan
  // code, flags).
  static std::string describe(const platform::InputEvent& e) {
    char text[64];
    if (e.kind == platform::InputEvent::Kind::Key) {
      std::snprintf(text, sizeof text, "key 0x%02x 0x%04x", e.scan_code, e.flags);
    } else {
      std::snprintf(text, sizeof text, "mouse 0x%04x %d %d %d", e.flags, e.dx, e.dy, e.mouse_data);
    }
    return text;
  }

  // False makes the sink report a lost display.
  bool working = true;

 private:
  std::mutex lock_;
  platform::VirtualScreen screen_;
  Observer observer_;
  std::vector<Batch> batches_;
};

}  // namespace tolvi
