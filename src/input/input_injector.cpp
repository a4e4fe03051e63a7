#include "input/input_injector.h"

#include <cmath>
#include <limits>
#include <vector>

#include "base/log.h"
#include "input/input_desktop.h"
#include "input/scan_codes.h"

namespace tolvi {
namespace {

using platform::InputEvent;

float clamp_unit(float value) {
  if (std::isnan(value)) return 0.0f;
  return value < 0.0f ? 0.0f : (value > 1.0f ? 1.0f : value);
}

// A double as a 32-bit integer, saturating instead of overflowing.
std::int32_t saturate(double value) {
  constexpr double kLow = std::numeric_limits<std::int32_t>::min();
  constexpr double kHigh = std::numeric_limits<std::int32_t>::max();
  if (value <= kLow) return std::numeric_limits<std::int32_t>::min();
  if (value >= kHigh) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

// Position p on an axis starting at origin with size pixels, in absolute units rounded to the
// nearest (halves away from zero).
std::int32_t to_absolute(float p, std::int32_t origin, std::int32_t size) {
  return saturate(std::round((static_cast<double>(p) - origin) * platform::kAbsoluteSpan /
                             platform::absolute_extent(size)));
}

InputEvent mouse_event(std::uint32_t flags, std::int32_t data = 0) {
  InputEvent e;
  e.kind = InputEvent::Kind::Mouse;
  e.flags = flags;
  e.mouse_data = data;
  return e;
}

// A client wheel amount that is not a number counts as no movement.
double finite_or_zero(float value) { return std::isfinite(value) ? value : 0.0; }

// The whole wheel units of `amount`, at most `budget` of them (which shrinks by what is taken).
// The fraction is carried to the next message; when the amount is clipped, the rest is dropped
// with its fraction, so nothing of a huge amount lingers.
std::int32_t whole_wheel_units(double amount, double& remainder, double& budget) {
  const double whole = std::trunc(amount);
  if (std::fabs(whole) > budget) {
    remainder = 0;
    const double clipped = std::copysign(budget, whole);
    budget = 0;
    return static_cast<std::int32_t>(clipped);
  }
  remainder = amount - whole;
  budget -= std::fabs(whole);
  return static_cast<std::int32_t>(whole);
}

}  // namespace

InputInjector::InputInjector(std::unique_ptr<platform::InputSink> sink,
                             std::function<void()> desktop_check)
    : sink_(std::move(sink)), desktop_check_(std::move(desktop_check)) {
  if (!desktop_check_) desktop_check_ = [] { desktop_check_throttle(); };
}

void InputInjector::set_target_rect(std::int32_t left, std::int32_t top, std::int32_t right,
                                    std::int32_t bottom) {
  std::lock_guard<std::mutex> guard(lock_);
  left_ = left;
  top_ = top;
  right_ = right;
  bottom_ = bottom;
}

void InputInjector::mouse_move(float x, float y) {
  desktop_check_();
  x = clamp_unit(x);
  y = clamp_unit(y);
  std::int64_t left, top, width, height;
  {
    std::lock_guard<std::mutex> guard(lock_);
    left = left_;
    top = top_;
    width = static_cast<std::int64_t>(right_) - left_;
    height = static_cast<std::int64_t>(bottom_) - top_;
  }
  // Single precision, as the position arrived: 0.0 is the first pixel, 1.0 the last.
  const float px = static_cast<float>(left) + static_cast<float>(width - 1) * x;
  const float py = static_cast<float>(top) + static_cast<float>(height - 1) * y;
  if (!sink_) return;
  const platform::VirtualScreen screen = sink_->virtual_screen();
  InputEvent move =
      mouse_event(platform::kMouseMove | platform::kMouseVirtualDesk | platform::kMouseAbsolute);
  move.dx = to_absolute(px, screen.left, screen.width);
  move.dy = to_absolute(py, screen.top, screen.height);
  inject({&move, 1});
}

void InputInjector::mouse_button(std::uint8_t button, bool pressed) {
  desktop_check_();
  if (button > kLastButton) return;
  struct Flags {
    std::uint32_t down;
    std::uint32_t up;
    std::int32_t data;
  };
  static constexpr Flags kButtons[kLastButton + 1] = {
      {platform::kMouseLeftDown, platform::kMouseLeftUp, 0},
      {platform::kMouseRightDown, platform::kMouseRightUp, 0},
      {platform::kMouseMiddleDown, platform::kMouseMiddleUp, 0},
      {platform::kMouseXDown, platform::kMouseXUp, platform::kXButton1},
      {platform::kMouseXDown, platform::kMouseXUp, platform::kXButton2},
  };
  const Flags& f = kButtons[button];
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (pressed) {
      held_buttons_.insert(button);
    } else {
      held_buttons_.erase(button);
    }
  }
  // Sent even when the set did not change: the client's view of the button decides.
  const InputEvent event = mouse_event(pressed ? f.down : f.up, f.data);
  inject({&event, 1});
}

void InputInjector::mouse_wheel(float horizontal, float vertical, bool fine) {
  desktop_check_();
  const double scale = fine ? kFineWheelScale : kCoarseWheelScale;
  double budget = kMaxWheelUnitsPerMessage;
  const std::int32_t V = whole_wheel_units(scale * finite_or_zero(vertical) + wheel_remainder_v_,
                                           wheel_remainder_v_, budget);
  // The client's horizontal direction is the opposite of the platform's.
  const std::int32_t H = whole_wheel_units(scale * -finite_or_zero(horizontal) + wheel_remainder_h_,
                                           wheel_remainder_h_, budget);
  InputEvent events[2];
  std::size_t count = 0;
  if (V != 0) events[count++] = mouse_event(platform::kMouseWheel, V);
  if (H != 0) events[count++] = mouse_event(platform::kMouseHWheel, H);
  if (count != 0) inject({events, count});
}

void InputInjector::key_event(std::uint16_t usage, bool pressed) {
  desktop_check_();
  const std::uint16_t scan_code = scan_code_for_usage(usage);
  if (scan_code == 0) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (pressed) {
      held_keys_.insert(usage);
    } else {
      held_keys_.erase(usage);
    }
  }
  InputEvent event;
  event.kind = InputEvent::Kind::Key;
  event.scan_code = scan_code & 0xFF;
  event.flags = platform::kKeyScanCode;
  if (!pressed) event.flags |= platform::kKeyUp;
  if (scan_code >= kExtendedScanCode) event.flags |= platform::kKeyExtended;
  inject({&event, 1});
}

void InputInjector::release_all() {
  std::set<std::uint16_t> keys;
  std::set<std::uint8_t> buttons;
  {
    std::lock_guard<std::mutex> guard(lock_);
    keys = held_keys_;
    buttons = held_buttons_;
  }
  // Each release takes the mutex itself to update the live set.
  for (const std::uint16_t usage : keys) key_event(usage, false);
  for (const std::uint8_t button : buttons) mouse_button(button, false);
}

void InputInjector::inject(std::span<const InputEvent> events) {
  if (!sink_) return;
  if (sink_->inject(events)) {
    sink_lost_ = false;
    return;
  }
  if (!sink_lost_) log_message("input: the desktop cannot take input; events are dropped");
  sink_lost_ = true;
}

}  // namespace tolvi
