// The Linux desktop backends, chosen at run time for the session's desktop: X11 for an X
// display (and for a display named outright), mutter's interfaces for GNOME on Wayland, nothing
// for another Wayland compositor (the capture set-up fails and the status says why).
#include <mutex>

#include "base/log.h"
#include "platform/capture.h"
#include "platform/clipboard.h"
#include "platform/display.h"
#include "platform/input.h"
#include "platform/linux/desktop_choice.h"
#include "platform/linux/mutter_backends.h"
#include "platform/linux/x11_backends.h"

namespace tolvi::platform {
namespace {

template <typename Backend>
std::unique_ptr<Backend> for_desktop(const std::string& display_name,
                                     std::unique_ptr<Backend> (*make_x11)(const std::string&),
                                     std::unique_ptr<Backend> (*make_mutter)()) {
  if (!display_name.empty()) return make_x11(display_name);
  switch (session_desktop()) {
    case LinuxDesktop::kX11:
      return make_x11(display_name);
    case LinuxDesktop::kGnomeWayland:
      return make_mutter();
    case LinuxDesktop::kOtherWayland:
      break;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<CaptureDevice> make_capture_device(const std::string& display_name) {
  return for_desktop(display_name, make_x11_capture_device, make_mutter_capture_device);
}

std::string desktop_support_problem() {
  return session_desktop() == LinuxDesktop::kOtherWayland ? kUnsupportedDesktopStatus : "";
}

std::unique_ptr<InputSink> make_input_sink(const std::string& display_name) {
  return for_desktop(display_name, make_xtest_input_sink, make_mutter_input_sink);
}

std::unique_ptr<ClipboardWatcher> make_clipboard_watcher(const std::string& display_name) {
  return for_desktop(display_name, make_x11_clipboard_watcher, make_mutter_clipboard_watcher);
}

bool press_secure_attention_keys() {
  return session_desktop() == LinuxDesktop::kGnomeWayland && press_mutter_secure_attention();
}

// On GNOME/Wayland, mutter's DisplayConfig (RandR would reach only Xwayland's emulation, which
// reports a switch the desktop never makes); another Wayland desktop has no display control.
std::unique_ptr<DisplayBackend> make_display_backend(const std::filesystem::path& state_folder) {
  switch (session_desktop()) {
    case LinuxDesktop::kX11:
      return make_xrandr_display_backend(state_folder);
    case LinuxDesktop::kGnomeWayland:
      return make_mutter_display_backend(!state_folder.empty());
    case LinuxDesktop::kOtherWayland:
      break;
  }
  static std::once_flag logged;
  std::call_once(logged, [] {
    log_message("wayland: display matching is not available on this desktop; its mode stays");
  });
  return nullptr;
}

}  // namespace tolvi::platform
