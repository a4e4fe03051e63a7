#pragma once
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/display.h"
#include "platform/linux/x11_connection.h"

namespace tolvi::platform {

// DPI that X toolkits read as 100 % scaling.
constexpr int kBaseDpi = 96;

// The screen's size in pixels and millimetres.
struct ScreenSize {
  int width = 0, height = 0, mm_width = 0, mm_height = 0;
  bool operator==(const ScreenSize&) const = default;
};

// One RandR output named as the capture names it, on one connection. Every call reads the
// server afresh (another client may have changed the configuration meanwhile).
class XrandrOutput {
 public:
  XrandrOutput(X11Connection& connection, std::string name)
      : connection_(connection), name_(std::move(name)) {}

  // The mode its CRTC shows now.
  std::optional<DisplayMode> current_mode();
  // Its modes in the server's order, each counted as 32 bits per pixel (a depth-24 screen
  // stores 32-bit pixels).
  std::vector<DisplayMode> modes();
  // Its physical size in millimetres (0 x 0 when unknown).
  std::pair<int, int> physical_mm();

  // Shows `mode` on the output's CRTC, growing the screen before a larger mode and shrinking
  // it after a smaller one; `screen` (when given) is the exact screen size to end with. The
  // server is held for this connection alone meanwhile. 0 on success, else RandR's status (or
  // the X error code).
  long switch_to(std::uint64_t mode, const std::optional<ScreenSize>& screen = std::nullopt);

  ScreenSize screen_size();

 private:
  X11Connection& connection_;
  std::string name_;
};

// Xft.dpi in the root window's RESOURCE_MANAGER: its text, or nullopt when not set.
std::optional<std::string> read_xft_dpi(X11Connection& connection);
// Sets (or, with nullopt, removes) Xft.dpi, keeping every other resource line.
bool write_xft_dpi(X11Connection& connection, const std::optional<std::string>& value);
// The DPI a value of Xft.dpi stands for (96 when absent or unreadable).
int dpi_of(const std::optional<std::string>& value);

// Refresh rate of a mode line: dot clock / (htotal x vtotal), rounded; 0 when unknown.
std::uint32_t refresh_of(const XRRModeInfo& mode);

}  // namespace tolvi::platform
