// Input injection on X11 through XTest, on the sink's own connection to the session's display.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "base/run_mode.h"
#include "platform/input.h"
#include "platform/linux/display_guardian.h"
#include "platform/linux/evdev_keys.h"
#include "platform/linux/held_input.h"
#include "platform/linux/x11_backends.h"
#include "platform/linux/x11_connection.h"

namespace tolvi::platform {
namespace {

// After a failed open or a lost connection, the next attempt waits this long.
constexpr std::uint64_t kReopenPauseUs = 1000000;
// X buttons: 1 left, 2 middle, 3 right, 4/5 wheel up/down, 6/7 wheel left/right, 8/9 the
// extra buttons (back, forward).
constexpr unsigned kXLeft = 1;
constexpr unsigned kXMiddle = 2;
constexpr unsigned kXRight = 3;
constexpr unsigned kXWheelUp = 4;
constexpr unsigned kXWheelDown = 5;
constexpr unsigned kXWheelLeft = 6;
constexpr unsigned kXWheelRight = 7;
constexpr unsigned kXExtra1 = 8;
constexpr unsigned kXExtra2 = 9;

// The pixel on an axis of size pixels that an absolute position in 0..kAbsoluteSpan stands
// for: the inverse of the normalisation, rounded.
int to_pixel(std::int32_t absolute, std::int32_t origin, std::int32_t size) {
  return origin + static_cast<int>(std::lround(absolute * absolute_extent(size) / kAbsoluteSpan));
}

struct XFreeDeleter {
  void operator()(void* p) const {
    if (p) XFree(p);
  }
};
struct KeyboardDeleter {
  void operator()(XkbDescPtr keyboard) const { XkbFreeKeyboard(keyboard, 0, True); }
};

// The name of the server's XKB keycode set ("evdev+aliases(qwerty)"); "" when it cannot say.
std::string keycodes_name(Display* display) {
  int opcode = 0, event_base = 0, error_base = 0;
  int major = XkbMajorVersion, minor = XkbMinorVersion;
  if (!XkbQueryExtension(display, &opcode, &event_base, &error_base, &major, &minor)) return {};
  const std::unique_ptr<XkbDescRec, KeyboardDeleter> keyboard(XkbAllocKeyboard());
  if (!keyboard || XkbGetNames(display, XkbKeycodesNameMask, keyboard.get()) != Success ||
      !keyboard->names || keyboard->names->keycodes == None) {
    return {};
  }
  const std::unique_ptr<char, XFreeDeleter> name(XGetAtomName(display, keyboard->names->keycodes));
  return name ? std::string(name.get()) : std::string();
}

class XTestInputSink : public InputSink {
 public:
  explicit XTestInputSink(std::string display_name) : display_name_(std::move(display_name)) {}

  bool inject(std::span<const InputEvent> events) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!connected()) return false;
    Display* display = connection_->display();
    std::int64_t wheel_clicks_left = kMaxWheelNotchesPerBatch;
    for (const InputEvent& e : events) {
      if (e.kind == InputEvent::Kind::Key) {
        inject_key(display, e);
      } else {
        inject_mouse(display, e, wheel_clicks_left);
      }
    }
    XFlush(display);
    return !connection_->broken();
  }

  VirtualScreen virtual_screen() override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!connected()) return {};
    // The root window's size changes only with RandR, which says so: its notifications since
    // the last call bring the size up to date without a round trip.
    Display* display = connection_->display();
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (randr_event_base_ != 0 && event.type == randr_event_base_ + RRScreenChangeNotify) {
        XRRUpdateConfiguration(&event);
        screen_ = screen_of(display);
      }
    }
    return screen_;
  }

 private:
  // True with a working connection; (re)opens one, at most once per pause.
  bool connected() {
    if (connection_ && !connection_->broken()) return true;
    const std::uint64_t now = monotonic_us();
    if (connection_ || tried_) {
      if (now - last_attempt_us_ < kReopenPauseUs) return false;
    }
    connection_.reset();
    tried_ = true;
    last_attempt_us_ = now;
    wheel_v_ = wheel_h_ = 0;
    auto connection = X11Connection::open(display_name_);
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    if (!connection ||
        !XTestQueryExtension(connection->display(), &event_base, &error_base, &major, &minor)) {
      return false;
    }
    // Our own events must not be held back by another client's grab of the server.
    XTestGrabControl(connection->display(), True);
    Display* display = connection->display();
    randr_event_base_ = 0;
    if (XRRQueryExtension(display, &event_base, &error_base)) {
      randr_event_base_ = event_base;
      XRRSelectInput(display, connection->root(), RRScreenChangeNotifyMask);
    }
    Window root = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (XGetGeometry(display, connection->root(), &root, &x, &y, &width, &height, &border,
                     &depth)) {
      screen_ = {0, 0, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
    }
    note_keycodes(display);
    connection_ = std::move(connection);
    return true;
  }

  static VirtualScreen screen_of(Display* display) {
    const int screen = DefaultScreen(display);
    return {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
  }

  // Keys are sent as evdev codes; a server with another keycode set would take them for other
  // keys. Said once, and again only when a new connection finds another set.
  void note_keycodes(Display* display) {
    const std::string name = keycodes_name(display);
    if (keycodes_noted_ && name == keycodes_) return;
    keycodes_noted_ = true;
    keycodes_ = name;
    if (evdev_keycodes(name)) {
      log_message("input: the X server's keycodes are evdev (%s)", name.c_str());
    } else {
      log_message(
          "input: the X server's keycodes are \"%s\", not evdev: typed keys may land on "
          "other keys",
          name.c_str());
    }
  }

  void inject_mouse(Display* display, const InputEvent& e, std::int64_t& wheel_clicks_left) {
    if (e.flags & kMouseMove) {
      if (e.flags & kMouseAbsolute) {
        XTestFakeMotionEvent(display, DefaultScreen(display),
                             to_pixel(e.dx, screen_.left, screen_.width),
                             to_pixel(e.dy, screen_.top, screen_.height), CurrentTime);
      } else {
        XTestFakeRelativeMotionEvent(display, e.dx, e.dy, CurrentTime);
      }
    }
    const auto button = [&](unsigned x_button, bool press) {
      XTestFakeButtonEvent(display, x_button, press ? True : False, CurrentTime);
      tell_guardian(display, HeldInput::button_line(x_button, press), press);
    };
    const unsigned extra = e.mouse_data == kXButton2 ? kXExtra2 : kXExtra1;
    if (e.flags & kMouseLeftDown) button(kXLeft, true);
    if (e.flags & kMouseLeftUp) button(kXLeft, false);
    if (e.flags & kMouseRightDown) button(kXRight, true);
    if (e.flags & kMouseRightUp) button(kXRight, false);
    if (e.flags & kMouseMiddleDown) button(kXMiddle, true);
    if (e.flags & kMouseMiddleUp) button(kXMiddle, false);
    if (e.flags & kMouseXDown) button(extra, true);
    if (e.flags & kMouseXUp) button(extra, false);
    if (e.flags & kMouseWheel) {
      wheel(display, wheel_v_, e.mouse_data, kXWheelUp, kXWheelDown, wheel_clicks_left);
    }
    if (e.flags & kMouseHWheel) {
      wheel(display, wheel_h_, e.mouse_data, kXWheelRight, kXWheelLeft, wheel_clicks_left);
    }
  }

  // One X click per notch of wheel data, at most clicks_left of them (shared by the batch):
  // a part of a notch waits for the next event, whole notches beyond the bound are dropped.
  static void wheel(Display* display, std::int64_t& carried, std::int32_t data,
                    unsigned positive_button, unsigned negative_button, std::int64_t& clicks_left) {
    carried += data;
    const std::int64_t notches = carried / kWheelDelta;  // towards zero
    carried -= notches * kWheelDelta;
    const std::int64_t clicks = std::min(notches > 0 ? notches : -notches, clicks_left);
    clicks_left -= clicks;
    const unsigned x_button = notches > 0 ? positive_button : negative_button;
    for (std::int64_t i = 0; i < clicks; ++i) {
      XTestFakeButtonEvent(display, x_button, True, CurrentTime);
      XTestFakeButtonEvent(display, x_button, False, CurrentTime);
    }
  }

  void inject_key(Display* display, const InputEvent& e) {
    if (!(e.flags & kKeyScanCode)) return;
    const std::uint16_t key = evdev_key_for_scan_code(static_cast<std::uint8_t>(e.scan_code),
                                                      (e.flags & kKeyExtended) != 0);
    if (key == 0) return;
    const bool press = (e.flags & kKeyUp) == 0;
    XTestFakeKeyEvent(display, key + kEvdevToXKeycode, press ? True : False, CurrentTime);
    tell_guardian(display, HeldInput::key_line(key + kEvdevToXKeycode, press), press);
  }

  // Keeps this process's guardian told of what it holds, so that a key or button pressed here
  // is released even when this process is killed before it could release it. The guardian
  // starts at the first press; until then nothing is held.
  void tell_guardian(Display* display, const std::string& line, bool press) {
    if (!guardian_.valid()) {
      if (!press || guardian_tried_) return;
      guardian_tried_ = true;
      guardian_ =
          start_guardian({kHeldInputOption, DisplayString(display), std::to_string(getpid()),
                          std::to_string(static_cast<int>(run_mode.load()))});
      if (!guardian_.valid()) return;
    }
    // A few bytes on a local socket the guardian drains at once; a guardian that is gone only
    // costs its help, never a signal or a wait.
    send(guardian_.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  std::string display_name_;
  std::mutex lock_;
  std::unique_ptr<X11Connection> connection_;
  bool tried_ = false;
  std::uint64_t last_attempt_us_ = 0;
  VirtualScreen screen_;
  // RandR's first event number on this connection; 0 without RandR.
  int randr_event_base_ = 0;
  std::string keycodes_;
  bool keycodes_noted_ = false;
  // Wheel data not yet worth a click, per axis.
  std::int64_t wheel_v_ = 0;
  std::int64_t wheel_h_ = 0;
  // The guardian that releases what this sink still holds once this process is gone; closing
  // it with everything released (the session's end) lets it go quietly.
  UniqueFd guardian_;
  bool guardian_tried_ = false;
};

}  // namespace

std::unique_ptr<InputSink> make_xtest_input_sink(const std::string& display) {
  return std::make_unique<XTestInputSink>(display);
}

// One X display has one input desktop: lock screens are windows on it.
bool follow_input_desktop(unsigned long&, std::wstring&) { return false; }

}  // namespace tolvi::platform
