#include "platform/linux/desktop_choice.h"

#include <chrono>
#include <cstdlib>
#include <mutex>

#include "base/log.h"
#include "platform/linux/sd_bus_holders.h"

namespace tolvi::platform {
namespace {

constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
// A session bus that does not answer this quickly has no mutter on it for our purposes.
constexpr std::uint64_t kProbeTimeoutUs = 2000000;
// How long an answer of the session bus stands: every connection, authenticated or not, makes
// its backends, and a flood of them must not become a flood of bus connections.
constexpr auto kProbeValidity = std::chrono::seconds(2);

std::string_view variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool mutter_on_session_bus() {
  const SdBus bus = open_user_bus(kProbeTimeoutUs);
  if (!bus) return false;
  SdBusError error;
  sd_bus_message* reply_raw = nullptr;
  if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", error.get(), &reply_raw, "s",
                         kRemoteDesktopName) < 0) {
    return false;
  }
  SdBusMessage reply(reply_raw);
  int has_owner = 0;
  return sd_bus_message_read(reply.get(), "b", &has_owner) >= 0 && has_owner != 0;
}

}  // namespace

bool is_wayland_session(std::string_view session_type, std::string_view wayland_display,
                        std::string_view display) {
  if (session_type == "wayland") return true;
  if (session_type == "x11") return false;
  return !wayland_display.empty() && display.empty();
}

LinuxDesktop session_desktop() {
  if (!is_wayland_session(variable("XDG_SESSION_TYPE"), variable("WAYLAND_DISPLAY"),
                          variable("DISPLAY"))) {
    return LinuxDesktop::kX11;
  }
  static std::mutex lock;
  static std::chrono::steady_clock::time_point probed_at;
  static bool probed = false;
  static bool has_mutter = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    const auto now = std::chrono::steady_clock::now();
    if (!probed || now - probed_at >= kProbeValidity) {
      has_mutter = mutter_on_session_bus();
      probed = true;
      probed_at = now;
    }
    if (has_mutter) return LinuxDesktop::kGnomeWayland;
  }
  static std::once_flag logged;
  std::call_once(logged, [] {
    log_message("wayland: this Wayland desktop has no %s on the session bus: %s",
                kRemoteDesktopName, kUnsupportedDesktopStatus);
  });
  return LinuxDesktop::kOtherWayland;
}

}  // namespace tolvi::platform
