// Input injection on GNOME/Wayland: the notify calls of mutter's remote-desktop session, which
// take evdev codes and positions in the screen cast's pixels.
#include <linux/input-event-codes.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <mutex>
#include <string>

#include "platform/input.h"
#include "platform/linux/evdev_keys.h"
#include "platform/linux/mutter_backends.h"
#include "platform/linux/mutter_remote_desktop.h"

namespace tolvi::platform {
namespace {

// NotifyPointerAxisDiscrete's axes.
constexpr std::uint32_t kAxisVertical = 0;
constexpr std::uint32_t kAxisHorizontal = 1;
// NotifyPointerAxis: the amounts are in the units of one wheel step = 10 (as libinput's).
constexpr double kSmoothUnitsPerNotch = 10.0;
// NotifyPointerAxis flag: this ends the scroll (kinetic scrolling stops here).
constexpr std::uint32_t kAxisFinish = 1;

class MutterInputSink : public InputSink {
 public:
  // The sink is made with its session, before the client has authenticated: the link to the
  // session bus is taken only with the first event.
  MutterInputSink() = default;

  bool inject(std::span<const InputEvent> events) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!ready()) return true;  // no session now: a refused event, not a lost desktop
    std::int32_t notches_left = kMaxWheelNotchesPerBatch;
    for (const InputEvent& e : events) {
      if (e.kind == InputEvent::Kind::Key) {
        inject_key(e);
      } else {
        inject_mouse(e, notches_left);
      }
    }
    return true;
  }

  VirtualScreen virtual_screen() override {
    std::lock_guard<std::mutex> guard(lock_);
    ready();
    return screen_;
  }

 private:
  // True with a running session; starts one when none runs (input may come before capture).
  bool ready() {
    if (!link_) link_ = MutterRemoteDesktop::shared();
    if (!link_) return false;
    std::string error;
    const std::optional<MutterStream> stream = link_->stream(error);
    if (!stream) return false;
    if (stream->width > 0 && stream->height > 0) {
      screen_ = {0, 0, stream->width, stream->height};
    }
    return true;
  }

  void inject_mouse(const InputEvent& e, std::int32_t& notches_left) {
    if (e.flags & kMouseMove) {
      if (e.flags & kMouseAbsolute) {
        link_->pointer_motion_absolute(to_pixel(e.dx, screen_.left, screen_.width),
                                       to_pixel(e.dy, screen_.top, screen_.height));
      }
    }
    const std::int32_t extra = e.mouse_data == kXButton2 ? BTN_EXTRA : BTN_SIDE;
    if (e.flags & kMouseLeftDown) link_->pointer_button(BTN_LEFT, true);
    if (e.flags & kMouseLeftUp) link_->pointer_button(BTN_LEFT, false);
    if (e.flags & kMouseRightDown) link_->pointer_button(BTN_RIGHT, true);
    if (e.flags & kMouseRightUp) link_->pointer_button(BTN_RIGHT, false);
    if (e.flags & kMouseMiddleDown) link_->pointer_button(BTN_MIDDLE, true);
    if (e.flags & kMouseMiddleUp) link_->pointer_button(BTN_MIDDLE, false);
    if (e.flags & kMouseXDown) link_->pointer_button(extra, true);
    if (e.flags & kMouseXUp) link_->pointer_button(extra, false);
    // Wheel data is positive for up (vertical) and right (horizontal); mutter's steps and
    // amounts are positive for down and right.
    if (e.flags & kMouseWheel) wheel(kAxisVertical, -e.mouse_data, notches_left);
    if (e.flags & kMouseHWheel) wheel(kAxisHorizontal, e.mouse_data, notches_left);
  }

  // Whole notches as discrete steps (at most notches_left in the batch); the part of a notch
  // as a fine scroll, which programs that scroll smoothly show at once and the others add up.
  void wheel(std::uint32_t axis, std::int32_t data, std::int32_t& notches_left) {
    const std::int32_t notches = data / kWheelDelta;
    const std::int32_t rest = data - notches * kWheelDelta;
    const std::int32_t steps = std::clamp(notches, -notches_left, notches_left);
    notches_left -= std::abs(steps);
    if (steps != 0) link_->pointer_axis_discrete(axis, steps);
    if (rest != 0) {
      const double amount = rest * kSmoothUnitsPerNotch / kWheelDelta;
      link_->pointer_axis(axis == kAxisHorizontal ? amount : 0.0,
                          axis == kAxisVertical ? amount : 0.0, kAxisFinish);
    }
  }

  void inject_key(const InputEvent& e) {
    if (!(e.flags & kKeyScanCode)) return;
    const std::uint16_t key = evdev_key_for_scan_code(static_cast<std::uint8_t>(e.scan_code),
                                                      (e.flags & kKeyExtended) != 0);
    if (key == 0) return;
    link_->keyboard_keycode(key, (e.flags & kKeyUp) == 0);
  }

  // The stream pixel an absolute position in 0..kAbsoluteSpan stands for (mutter takes
  // fractions, but a pixel is what the client pointed at).
  static double to_pixel(std::int32_t absolute, std::int32_t origin, std::int32_t size) {
    return origin + std::round(absolute * absolute_extent(size) / kAbsoluteSpan);
  }

  std::mutex lock_;
  std::shared_ptr<MutterRemoteDesktop> link_;
  VirtualScreen screen_;
};

}  // namespace

std::unique_ptr<InputSink> make_mutter_input_sink() { return std::make_unique<MutterInputSink>(); }

bool press_mutter_secure_attention() {
  const std::shared_ptr<MutterRemoteDesktop> link = MutterRemoteDesktop::shared();
  if (!link) return false;
  std::string error;
  if (!link->stream(error)) return false;
  // The chord as a person presses it: held down in order, let go in the reverse order.
  constexpr std::uint32_t kChord[] = {KEY_LEFTCTRL, KEY_LEFTALT, KEY_DELETE};
  for (std::uint32_t key : kChord) link->keyboard_keycode(key, true);
  for (auto key = std::rbegin(kChord); key != std::rend(kChord); ++key) {
    link->keyboard_keycode(*key, false);
  }
  return true;
}

}  // namespace tolvi::platform
