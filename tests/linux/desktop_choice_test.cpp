#include "platform/linux/desktop_choice.h"

#include <gtest/gtest.h>

namespace tolvi::platform {
namespace {

TEST(DesktopChoice, SessionTypeDecidesBeforeTheDisplayVariables) {
  struct Case {
    const char* session_type;
    const char* wayland_display;
    const char* display;
    bool wayland;
  };
  constexpr Case kCases[] = {
      // GNOME on Wayland sets all three: DISPLAY names Xwayland, which shows no other program.
      {"wayland", "wayland-0", ":0", true},
      {"wayland", "", "", true},
      // An X11 session stays X11 even where a Wayland socket is named.
      {"x11", "wayland-0", "", false},
      {"x11", "", ":0", false},
      // Without a session type: a Wayland display and no X display.
      {"", "wayland-0", "", true},
      {"", "wayland-0", ":0", false},
      {"", "", ":0", false},
      {"", "", "", false},
      // A terminal session ("tty") says nothing about the desktop.
      {"tty", "wayland-1", "", true},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(is_wayland_session(c.session_type, c.wayland_display, c.display), c.wayland)
        << "XDG_SESSION_TYPE=" << c.session_type << " WAYLAND_DISPLAY=" << c.wayland_display
        << " DISPLAY=" << c.display;
  }
}

}  // namespace
}  // namespace tolvi::platform
