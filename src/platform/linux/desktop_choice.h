#pragma once
#include <string>
#include <string_view>

namespace tolvi::platform {

// Which of the Linux desktop backends serves the session's desktop.
enum class LinuxDesktop {
  kX11,           // an X server (Xorg, Xvfb): XTest, MIT-SHM, RandR
  kGnomeWayland,  // GNOME on Wayland: mutter's remote-desktop and screen-cast interfaces
  kOtherWayland,  // another Wayland compositor: nothing to capture or drive it with yet
};

// The status a host on an unsupported desktop shows.
inline constexpr char kUnsupportedDesktopStatus[] =
    "this desktop is not supported yet: GNOME on Wayland or any X11 desktop is";

// The session's desktop is Wayland when its session type says so, or, without a session type,
// when there is a Wayland display and no X display. An X11 session type is X11 whatever else
// is set. (Under GNOME on Wayland DISPLAY names Xwayland, which can neither capture the other
// programs' windows nor drive them.)
bool is_wayland_session(std::string_view session_type, std::string_view wayland_display,
                        std::string_view display);

// The desktop of this process's environment: the variables above, and for Wayland whether
// mutter's remote-desktop interface is on the session bus. An unsupported Wayland desktop is
// logged once per process.
LinuxDesktop session_desktop();

}  // namespace tolvi::platform
