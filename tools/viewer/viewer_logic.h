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

// The wire's number of an SDL mouse button (SDL numbers left 1, middle 2, right 3, then the
// two extra buttons; the wire left 0, right 1, middle 2, then the extras); -1 for buttons the
// host does not take.
int wire_button(int sdl_button);

// The link's running counters, as the overlay reads them.
struct LinkCounters {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t dropped = 0;  // decoded but never shown (replaced, or late)
  double decode_ms_total = 0;
  double rtt_ms = -1;  // -1: no Pong yet
};

// Figures for the overlay, over one interval of the link's counters.
struct OverlayFigures {
  double fps = 0;
  double kbps = 0;
  double rtt_ms = -1;  // -1: no Pong yet
  double decode_ms = 0;
  std::uint64_t dropped = 0;
  std::uint16_t asked_fps = 0;  // not 0: the viewer asked the host for this lower frame rate
};
// The figures between two readings of the counters `elapsed_ms` apart.
OverlayFigures overlay_figures(const LinkCounters& before, const LinkCounters& now,
                               std::uint64_t elapsed_ms);
std::string overlay_text(const OverlayFigures& f);
// What the window says while the frame rate is lowered (asked_fps not 0); empty otherwise.
std::string rate_note(std::uint16_t asked_fps);

// Which decoded pictures are worth showing. Every picture must be decoded (the next ones
// depend on it), but one that arrives late is not shown: showing it costs the time the decoder
// needs to catch up, and a person gains nothing from an old picture when a newer one is
// coming. Late means its transit (local time it was decoded minus the host's capture time) is
// more than kLateMs above the smallest transit of the last seconds, which stands for the
// path without queueing and absorbs any offset between the two clocks. So that the window
// never freezes, a picture is shown anyway when none was shown for kLongestHoldMs.
class PresentationGate {
 public:
  static constexpr std::uint64_t kLateMs = 50;
  static constexpr std::uint64_t kLongestHoldMs = 250;
  static constexpr std::uint64_t kBaselineSpanMs = 5000;

  // A picture captured at host_us (the host's clock) was decoded at local_us: true when it
  // should be shown.
  bool decoded(std::uint64_t host_us, std::uint64_t local_us);

 private:
  // The smallest transit in the current span and the one before: the baseline is the lower.
  std::int64_t span_min_ = 0;
  std::int64_t previous_min_ = 0;
  std::uint64_t span_start_us_ = 0;
  bool have_span_ = false;
  bool have_previous_ = false;
  std::uint64_t last_shown_us_ = 0;
  bool shown_any_ = false;
};

// Asks the host for a lower frame rate when this computer cannot decode the stream at its
// rate, and for the full rate again once it can. Fed one second at a time. A slow second is
// one spent mostly decoding or with many late pictures; after kSlowSeconds of them in a row
// the rate halves (not below kLowestFps). At a lowered rate, a second whose decode time per
// picture would fit the full rate with room to spare counts towards going back; after
// kFastSeconds of those in a row the full rate is asked for again. Seconds with too few
// pictures to judge (a still desktop) change nothing.
class FrameRateGovernor {
 public:
  static constexpr int kSlowSeconds = 3;
  static constexpr int kFastSeconds = 10;
  static constexpr std::uint16_t kLowestFps = 10;
  static constexpr std::uint64_t kFewestFrames = 5;
  static constexpr double kBusyShare = 0.85;     // of a second spent decoding: slow
  static constexpr double kLateShare = 0.25;     // of the pictures late: slow
  static constexpr double kFullRateShare = 0.6;  // projected at the full rate: room to go back

  explicit FrameRateGovernor(std::uint16_t full_fps) : full_(full_fps), asked_(full_fps) {}

  struct Second {
    std::uint64_t frames = 0;
    double decode_ms = 0;  // spent decoding them
    std::uint64_t late = 0;
  };
  // One second's figures; true when the rate to ask for (asked()) changed.
  bool second_passed(const Second& s);
  std::uint16_t asked() const { return asked_; }
  bool lowered() const { return asked_ < full_; }
  // A new connection asks for the full rate.
  void reset(std::uint16_t full_fps);

 private:
  std::uint16_t full_;
  std::uint16_t asked_;
  int slow_run_ = 0;
  int fast_run_ = 0;
};

}  // namespace tolvi::viewer
