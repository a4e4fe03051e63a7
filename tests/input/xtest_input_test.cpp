// The XTest sink under the real injector on a private Xvfb (evdev rules, us layout): where the
// pointer lands, which keysyms typed keys give a window, wheel clicks, and a lost server.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "input/input_injector.h"
#include "input/scan_codes.h"
#include "platform/input.h"
#include "platform/linux/evdev_keys.h"
#include "support/eventually.h"
#include "support/xvfb_desktop.h"
#include "support/xvfb_server.h"

// After GoogleTest: Xlib's macros (None, Bool, ...) would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace tolvi {
namespace {

using tolvi::testing::XvfbServer;

// Every usage of the table has a key on Linux.
TEST(EvdevKeys, EveryTranslatedUsageHasAnEvdevKey) {
  int translated = 0;
  for (std::uint16_t usage = 0; usage < 256; ++usage) {
    const std::uint16_t scan = scan_code_for_usage(usage);
    if (scan == 0) continue;
    ++translated;
    EXPECT_NE(platform::evdev_key_for_scan_code(scan & 0xFF, scan >= kExtendedScanCode), 0)
        << "usage " << usage;
  }
  EXPECT_GT(translated, 100);
}

TEST(EvdevKeys, OnlyAnEvdevKeycodeSetCountsAsEvdev) {
  const struct {
    const char* name;
    bool evdev;
  } cases[] = {
      {"evdev+aliases(qwerty)", true},
      {"evdev", true},
      {"evdev(pc105)", true},
      {"xfree86+aliases(qwerty)", false},
      {"base", false},
      {"evdevish", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::evdev_keycodes(c.name), c.evdev) << c.name;
}

// The sink learns a new screen size from RandR's notification instead of asking the server on
// every move; the size it reports is the server's after every resize.
TEST(XTestScreen, FollowsTheScreensSizeAfterAResize) {
  testing::XvfbDesktop desktop;
  ASSERT_TRUE(desktop.ready());
  const std::unique_ptr<platform::InputSink> sink = platform::make_input_sink(desktop.name());
  const auto size_becomes = [&](std::int32_t w, std::int32_t h) {
    return testing::eventually(
        [&] {
          const platform::VirtualScreen screen = sink->virtual_screen();
          return screen.left == 0 && screen.top == 0 && screen.width == w && screen.height == h;
        },
        std::chrono::seconds(2), std::chrono::milliseconds(5));
  };
  EXPECT_TRUE(size_becomes(1920, 1080));
  for (auto [w, h] : {std::pair{1280, 800}, std::pair{2560, 1440}, std::pair{1920, 1080}}) {
    desktop.switch_to(w, h);
    EXPECT_TRUE(size_becomes(w, h)) << w << "x" << h;
  }
}

// A private Xvfb, an injector on it, and a second connection that watches: a window covering
// the screen that has the focus and reports keys and buttons.
class XTestInput : public ::testing::Test {
 protected:
  void start(const std::string& screen) {
    server_ = std::make_unique<XvfbServer>(screen);
    ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start";
    injector_ =
        std::make_unique<InputInjector>(platform::make_input_sink(server_->display()), [] {});
    watcher_ = XOpenDisplay(server_->display().c_str());
    ASSERT_NE(watcher_, nullptr);
    const Window root = DefaultRootWindow(watcher_);
    XWindowAttributes root_size;
    XGetWindowAttributes(watcher_, root, &root_size);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | ButtonPressMask;
    window_ =
        XCreateWindow(watcher_, root, 0, 0, root_size.width, root_size.height, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(watcher_, window_);
    XSync(watcher_, False);
    XSetInputFocus(watcher_, window_, RevertToParent, CurrentTime);
    XSync(watcher_, False);
  }
  void TearDown() override {
    injector_.reset();
    if (watcher_) XCloseDisplay(watcher_);
  }

  // The sink flushes its events without waiting for the server: the watcher polls a while for
  // the state they lead to.
  template <typename Predicate>
  static bool eventually(Predicate done) {
    return testing::eventually(done, std::chrono::seconds(2), std::chrono::milliseconds(5));
  }

  std::pair<int, int> pointer() {
    Window root, child;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(watcher_, DefaultRootWindow(watcher_), &root, &child, &x, &y, &wx, &wy, &mask);
    return {x, y};
  }

  // Events of the watcher's window until none arrives for a moment.
  std::vector<XEvent> events() {
    std::vector<XEvent> out;
    XSync(watcher_, False);
    for (int quiet = 0; quiet < 20;) {
      if (XPending(watcher_)) {
        XEvent e;
        XNextEvent(watcher_, &e);
        out.push_back(e);
        quiet = 0;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++quiet;
      }
    }
    return out;
  }

  // The buttons pressed on the watcher's window, in order, until no event arrives for a moment.
  std::vector<unsigned> buttons() {
    std::vector<unsigned> out;
    for (XEvent& e : events()) {
      if (e.type == ButtonPress) out.push_back(e.xbutton.button);
    }
    return out;
  }

  std::unique_ptr<XvfbServer> server_;
  std::unique_ptr<InputInjector> injector_;
  Display* watcher_ = nullptr;
  Window window_ = 0;
};

TEST_F(XTestInput, PointerLandsOnThePixelTheNormalisationNames) {
  struct Case {
    std::int32_t left, top, right, bottom;
    float x, y;
    int px, py;
  };
  // On a 3840x1080 root (two 1920x1080 monitors side by side).
  const Case cases[] = {
      {0, 0, 3840, 1080, 0, 0, 0, 0},
      {0, 0, 3840, 1080, 1, 1, 3839, 1079},
      {0, 0, 3840, 1080, 0.5f, 0.5f, 1920, 540},
      {1920, 0, 3840, 1080, 0, 0, 1920, 0},  // absolute 32776
      {1920, 0, 3840, 1080, 1, 1, 3839, 1079},
      {1920, 0, 3840, 1080, 0.25f, 0.75f, 2400, 809},
      {1920, 0, 3840, 1080, -3, 7, 1920, 1079},
      {100, 200, 740, 680, 0.5f, 0.5f, 419, 440},  // 419.5 and 439.5 through the 65535 grid
  };
  start("3840x1080x24");
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.left << "," << c.top << " " << c.x << "," << c.y);
    injector_->set_target_rect(c.left, c.top, c.right, c.bottom);
    injector_->mouse_move(c.x, c.y);
    const auto expected = std::make_pair(c.px, c.py);
    eventually([&] { return pointer() == expected; });
    EXPECT_EQ(pointer(), expected);
  }
}

TEST_F(XTestInput, TypedKeysGiveTheUsLayoutsKeysyms) {
  start("1024x768x24");
  struct Case {
    std::vector<std::pair<std::uint16_t, bool>> presses;
    KeySym expected;
  };
  const Case cases[] = {
      {{{4, true}, {4, false}}, XK_a},
      {{{225, true}, {4, true}, {4, false}, {225, false}}, XK_A},
      {{{229, true}, {30, true}, {30, false}, {229, false}}, XK_exclam},
      {{{40, true}, {40, false}}, XK_Return},
      {{{79, true}, {79, false}}, XK_Right},
      {{{80, true}, {80, false}}, XK_Left},
      {{{81, true}, {81, false}}, XK_Down},
      {{{82, true}, {82, false}}, XK_Up},
      {{{74, true}, {74, false}}, XK_Home},
      {{{76, true}, {76, false}}, XK_Delete},
      {{{88, true}, {88, false}}, XK_KP_Enter},
      {{{84, true}, {84, false}}, XK_KP_Divide},
      {{{85, true}, {85, false}}, XK_KP_Multiply},
      {{{87, true}, {87, false}}, XK_KP_Add},
      {{{89, true}, {89, false}}, XK_KP_End},  // keypad 1 with Num Lock off
      {{{58, true}, {58, false}}, XK_F1},
      {{{69, true}, {69, false}}, XK_F12},
      {{{56, true}, {56, false}}, XK_slash},
      {{{228, true}, {228, false}}, XK_Control_R},
      {{{231, true}, {231, false}}, XK_Super_R},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(XKeysymToString(c.expected));
    for (const auto& [usage, down] : c.presses) injector_->key_event(usage, down);
    // The last key press is the typed key; earlier ones are its modifiers.
    KeySym last = NoSymbol;
    for (XEvent& e : events()) {
      if (e.type != KeyPress) continue;
      char text[8];
      XLookupString(&e.xkey, text, sizeof text, &last, nullptr);
    }
    EXPECT_EQ(last, c.expected) << XKeysymToString(last);
  }
}

TEST_F(XTestInput, WheelNotchesAndButtonsReachTheWindow) {
  start("1024x768x24");
  injector_->mouse_move(0.5f, 0.5f);
  // Coarse 1.0 is a third of a notch: three make one click up.
  for (int i = 0; i < 3; ++i) injector_->mouse_wheel(0, 1, false);
  EXPECT_EQ(buttons(), (std::vector<unsigned>{4}));
  injector_->mouse_wheel(0, -6, false);
  EXPECT_EQ(buttons(), (std::vector<unsigned>{5, 5}));
  // Client's horizontal positive is the host's left.
  injector_->mouse_wheel(3, 0, false);
  EXPECT_EQ(buttons(), (std::vector<unsigned>{6}));
  injector_->mouse_wheel(-3, 0, false);
  EXPECT_EQ(buttons(), (std::vector<unsigned>{7}));
  // Fine amounts: 29 x 4 = 116 units, not a notch yet; one more makes it.
  for (int i = 0; i < 29; ++i) injector_->mouse_wheel(0, 1, true);
  EXPECT_TRUE(buttons().empty());
  injector_->mouse_wheel(0, 1, true);
  EXPECT_EQ(buttons(), (std::vector<unsigned>{4}));
  for (std::uint8_t b = 0; b <= 5; ++b) {
    injector_->mouse_button(b, true);
    injector_->mouse_button(b, false);
  }
  EXPECT_EQ(buttons(), (std::vector<unsigned>{1, 3, 2, 8, 9}));
}

// The sink itself bounds the clicks of one batch, whoever builds the events: 200 notches up and
// 50 to the left in one batch give 100 clicks, and the next notch is one click again.
TEST_F(XTestInput, OneBatchMakesAtMostAHundredWheelClicks) {
  start("1024x768x24");
  injector_->mouse_move(0.5f, 0.5f);
  const auto sink = platform::make_input_sink(server_->display());
  const auto wheel = [](std::uint32_t flags, std::int32_t data) {
    platform::InputEvent e;
    e.flags = flags;
    e.mouse_data = data;
    return e;
  };
  const platform::InputEvent batch[] = {
      wheel(platform::kMouseWheel, 200 * platform::kWheelDelta),
      wheel(platform::kMouseHWheel, -50 * platform::kWheelDelta),
  };
  ASSERT_TRUE(sink->inject(batch));
  EXPECT_EQ(buttons(), std::vector<unsigned>(100, 4));
  const platform::InputEvent one[] = {wheel(platform::kMouseWheel, -platform::kWheelDelta)};
  ASSERT_TRUE(sink->inject(one));
  EXPECT_EQ(buttons(), std::vector<unsigned>{5});
}

TEST_F(XTestInput, ReleaseAllLeavesTheServerHoldingNothing) {
  start("1024x768x24");
  injector_->key_event(225, true);  // left Shift
  injector_->key_event(80, true);   // Left arrow (extended)
  injector_->mouse_button(0, true);
  XSync(watcher_, False);
  const KeyCode shift = XKeysymToKeycode(watcher_, XK_Shift_L);
  const KeyCode left = XKeysymToKeycode(watcher_, XK_Left);
  const auto held = [&](KeyCode k) {
    char keys[32];
    XQueryKeymap(watcher_, keys);
    return (keys[k / 8] & (1 << (k % 8))) != 0;
  };
  const auto button_mask = [&] {
    Window root, child;
    int x, y, wx, wy;
    unsigned mask = 0;
    XQueryPointer(watcher_, DefaultRootWindow(watcher_), &root, &child, &x, &y, &wx, &wy, &mask);
    return mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask);
  };
  ASSERT_TRUE(eventually([&] { return held(shift) && held(left) && button_mask() != 0; }));
  ASSERT_EQ(button_mask(), static_cast<unsigned>(Button1Mask));
  injector_->release_all();
  eventually([&] { return !held(shift) && !held(left) && button_mask() == 0; });
  EXPECT_FALSE(held(shift));
  EXPECT_FALSE(held(left));
  EXPECT_EQ(button_mask(), 0u);
}

TEST_F(XTestInput, ALostServerMakesInjectionANoOp) {
  start("1024x768x24");
  injector_->mouse_move(0.5f, 0.5f);
  XCloseDisplay(watcher_);
  watcher_ = nullptr;
  server_->stop();
  ::testing::internal::CaptureStderr();
  injector_->mouse_move(0.1f, 0.1f);
  injector_->key_event(4, true);
  injector_->mouse_wheel(0, 3, false);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("input: the desktop cannot take input"), std::string::npos);
}

}  // namespace
}  // namespace tolvi
