#pragma once
#include <cstdint>
#include <string>

#include "protocol/limits.h"

// The viewer's rules that do not need a window: where the picture goes, how the pointer maps
// onto it, when a new stream size is asked for, which clipboard texts cross, which keys are
// sent. Times are milliseconds of any monotonic clock the caller passes in.
namespace tolvi::viewer {

struct Rect {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
};

// The largest rectangle of the picture's aspect ratio that fits the window, centred; the
// bands left over stay black. Empty when either size is not positive.
Rect letterbox(int window_w, int window_h, int picture_w, int picture_h);

// A window position (pixels, fractional for high-resolution pointers) as 0..1 over the
// picture; false when it lies in the letterbox bands or the picture is empty. Pixel centres
// map so that the first column is 0 and the last is 1, as the host maps them back.
bool normalise_pointer(const Rect& picture, double px, double py, float& x, float& y);

// Asks for a new stream size only once the window has kept one size for a while, so that
// dragging a window edge does not rebuild the host's encoder for every intermediate size.
class ResizeDebounce {
 public:
  static constexpr std::uint64_t kQuietMs = 300;

  // The window's drawable size is now w x h.
  void resized(int w, int h, std::uint64_t now_ms);
  // True once per settled size that differs from the last one sent; w, h are the size.
  bool due(std::uint64_t now_ms, int& w, int& h);
  // Forget what was sent (a new connection needs the size again).
  void reset() { sent_w_ = sent_h_ = 0; }

 private:
  int w_ = 0;
  int h_ = 0;
  std::uint64_t changed_ms_ = 0;
  int sent_w_ = 0;
  int sent_h_ = 0;
};

// The host's clipboard rules, from the viewer's side: a text crosses only when it is not
// empty, not above kMaxClipboardBytes and not the last text seen on either side, so a text
// the host sent and the viewer put on the local clipboard is not sent back.
class ClipboardEcho {
 public:
  static constexpr std::size_t kMaxClipboardBytes = kMaxClipboardTextBytes;

  // The local clipboard now holds text: true when it should go to the host.
  bool local_changed(const std::string& text);
  // The host sent a text: what to put on the local clipboard (up to its first NUL byte).
  std::string host_sent(const std::string& payload);

 private:
  std::string last_text_;
};

// The HID usage of an SDL scancode (SDL numbers keys by their USB HID usages); 0 for codes
// outside the Keyboard/Keypad page.
std::uint16_t usage_for_scancode(int scancode);

// Wheel amounts as sent: one notch of a wheel is 3.0 on the coarse scale. Fractional amounts
// (trackpads, precise wheels) go on the fine scale, ten times finer.
struct WheelAmounts {
  float horizontal = 0;
  float vertical = 0;
  bool fine = false;
};
WheelAmounts wheel_amounts(float precise_x, float precise_y);

// Figures for the overlay, reset every second by the caller.
struct OverlayFigures {
  double fps = 0;
  double kbps = 0;
  double rtt_ms = -1;  // -1: no Pong yet
  double decode_ms = 0;
  std::uint64_t dropped = 0;
};
std::string overlay_text(const OverlayFigures& f);

}  // namespace tolvi::viewer
