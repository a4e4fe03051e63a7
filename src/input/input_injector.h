#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <span>

#include "platform/input.h"

namespace tolvi {

// Applies one session's pointer and keyboard input and remembers what it holds down.
//
// Pointer positions arrive normalised to the streamed picture and are mapped onto the
// rectangle of the captured output, then onto the absolute units of the virtual screen; keys
// arrive as USB HID usages and go out as set-1 scan codes, so the host's own layout applies.
// Input operations run on the session's receive thread (release_all at the end on the client
// thread, once the receive thread has ended); set_target_rect runs on the client thread. The
// mutex guards the rectangle and the held sets; the sink is always called without it.
class InputInjector {
 public:
  // Rectangle used until the capture set-up supplies the captured output's.
  static constexpr std::int32_t kInitialRight = 1920;
  static constexpr std::int32_t kInitialBottom = 1080;
  // Highest mouse button index: 0 left, 1 right, 2 middle, 3 and 4 the extra buttons.
  static constexpr std::uint8_t kLastButton = 4;
  // Wheel units per client wheel unit, on the fine and the coarse scale.
  static constexpr double kFineWheelScale = 4;
  static constexpr double kCoarseWheelScale = 40;
  // Wheel units one message may move, both axes together; beyond it the rest is dropped.
  static constexpr double kMaxWheelUnitsPerMessage =
      double{platform::kMaxWheelNotchesPerBatch} * platform::kWheelDelta;

  // A null sink injects nothing (the held sets are still kept). desktop_check runs first in
  // every input operation: desktop_check_throttle unless a test gives another.
  explicit InputInjector(std::unique_ptr<platform::InputSink> sink,
                         std::function<void()> desktop_check = {});
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  // The captured output's rectangle in virtual-desktop pixels (right and bottom exclusive).
  void set_target_rect(std::int32_t left, std::int32_t top, std::int32_t right,
                       std::int32_t bottom);

  // x, y: 0.0 the left or top edge of the streamed picture, 1.0 the right or bottom edge.
  void mouse_move(float x, float y);
  void mouse_button(std::uint8_t button, bool pressed);
  // Horizontal and vertical wheel amounts; fine selects the fine scale. Vertical movement
  // comes first in the message's bound, horizontal gets what is left of it.
  void mouse_wheel(float horizontal, float vertical, bool fine);
  // A USB HID Keyboard/Keypad usage; usages without a scan code are ignored.
  void key_event(std::uint16_t usage, bool pressed);
  // Releases every key, then every button this session holds, each in ascending order,
  // through the same path as a release from the client.
  void release_all();

 private:
  void inject(std::span<const platform::InputEvent> events);

  std::unique_ptr<platform::InputSink> sink_;
  std::function<void()> desktop_check_;
  // Set while the sink cannot inject, so the loss is logged once.
  bool sink_lost_ = false;

  std::mutex lock_;
  std::int32_t left_ = 0;
  std::int32_t top_ = 0;
  std::int32_t right_ = kInitialRight;
  std::int32_t bottom_ = kInitialBottom;
  std::set<std::uint16_t> held_keys_;
  std::set<std::uint8_t> held_buttons_;

  // Fractions of wheel units carried to the next message; receive thread only.
  double wheel_remainder_h_ = 0;
  double wheel_remainder_v_ = 0;
};

}  // namespace tolvi
