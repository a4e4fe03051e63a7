#include "viewer_logic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tolvi::viewer {
namespace {

constexpr int kFirstKeyboardUsage = 4;     // A
constexpr int kLastKeyboardUsage = 0xE7;   // right GUI
constexpr float kNotch = 3.0f;             // one wheel notch on the coarse scale
constexpr float kFineStepsPerCoarse = 10;  // the host's fine scale is ten times finer
// SDL's mouse button numbers (SDL_BUTTON_LEFT and so on).
constexpr int kSdlLeft = 1;
constexpr int kSdlMiddle = 2;
constexpr int kSdlRight = 3;
constexpr int kSdlExtra1 = 4;
constexpr int kSdlExtra2 = 5;

}  // namespace

Rect letterbox(int window_w, int window_h, int picture_w, int picture_h) {
  if (window_w <= 0 || window_h <= 0 || picture_w <= 0 || picture_h <= 0) return {};
  Rect r;
  // Compare window_w / window_h with picture_w / picture_h without rounding.
  if (static_cast<long long>(window_w) * picture_h > static_cast<long long>(window_h) * picture_w) {
    r.h = window_h;
    r.w = static_cast<int>(static_cast<long long>(window_h) * picture_w / picture_h);
  } else {
    r.w = window_w;
    r.h = static_cast<int>(static_cast<long long>(window_w) * picture_h / picture_w);
  }
  r.w = std::max(r.w, 1);
  r.h = std::max(r.h, 1);
  r.x = (window_w - r.w) / 2;
  r.y = (window_h - r.h) / 2;
  return r;
}

bool normalise_pointer(const Rect& picture, double px, double py, float& x, float& y) {
  if (picture.w <= 0 || picture.h <= 0) return false;
  const double rx = px - picture.x;
  const double ry = py - picture.y;
  if (rx < 0 || ry < 0 || rx >= picture.w || ry >= picture.h) return false;
  // Pixel i of n covers [i, i+1); its centre maps to i / (n - 1).
  const auto scale = [](double r, int n) {
    if (n < 2) return 0.0;
    return std::clamp((r - 0.5) / (n - 1), 0.0, 1.0);
  };
  x = static_cast<float>(scale(rx, picture.w));
  y = static_cast<float>(scale(ry, picture.h));
  return true;
}

void ResizeDebounce::resized(int w, int h, std::uint64_t now_ms) {
  if (w == w_ && h == h_) return;
  w_ = w;
  h_ = h;
  changed_ms_ = now_ms;
}

bool ResizeDebounce::due(std::uint64_t now_ms, int& w, int& h) {
  if (w_ <= 0 || h_ <= 0 || (w_ == sent_w_ && h_ == sent_h_)) return false;
  if (sent_w_ != 0 && now_ms - changed_ms_ < kQuietMs) return false;  // the first goes at once
  sent_w_ = w = w_;
  sent_h_ = h = h_;
  return true;
}

bool ClipboardEcho::local_changed(const std::string& text) {
  if (text.empty() || text.size() > kMaxClipboardBytes || text == last_text_) return false;
  last_text_ = text;
  return true;
}

std::string ClipboardEcho::host_sent(const std::string& payload) {
  last_text_ = payload.substr(0, payload.find('\0'));
  return last_text_;
}

std::uint16_t usage_for_scancode(int scancode) {
  if (scancode < kFirstKeyboardUsage || scancode > kLastKeyboardUsage) return 0;
  return static_cast<std::uint16_t>(scancode);
}

WheelAmounts wheel_amounts(float precise_x, float precise_y) {
  WheelAmounts out;
  out.fine = precise_x != std::trunc(precise_x) || precise_y != std::trunc(precise_y);
  const float unit = out.fine ? kNotch * kFineStepsPerCoarse : kNotch;
  // On the wire a positive horizontal amount scrolls left; SDL's positive x is right.
  out.horizontal = -precise_x * unit;
  out.vertical = precise_y * unit;
  return out;
}

int wire_button(int sdl_button) {
  switch (sdl_button) {
    case kSdlLeft:
      return 0;
    case kSdlRight:
      return 1;
    case kSdlMiddle:
      return 2;
    case kSdlExtra1:
      return 3;
    case kSdlExtra2:
      return 4;
    default:
      return -1;
  }
}

OverlayFigures overlay_figures(const LinkCounters& before, const LinkCounters& now,
                               std::uint64_t elapsed_ms) {
  OverlayFigures f;
  f.rtt_ms = now.rtt_ms;
  f.dropped = now.dropped;
  if (elapsed_ms == 0) return f;
  const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
  // A reconnect starts the counters again: a reading below the last one counts from zero.
  const LinkCounters from = now.frames < before.frames ? LinkCounters{} : before;
  const std::uint64_t frames = now.frames - from.frames;
  f.fps = static_cast<double>(frames) / seconds;
  f.kbps = static_cast<double>(now.bytes - from.bytes) * 8 / 1000 / seconds;
  f.decode_ms =
      frames ? (now.decode_ms_total - from.decode_ms_total) / static_cast<double>(frames) : 0;
  return f;
}

std::string overlay_text(const OverlayFigures& f) {
  char rtt[32];
  if (f.rtt_ms < 0) {
    std::snprintf(rtt, sizeof rtt, "-");
  } else {
    std::snprintf(rtt, sizeof rtt, "%.1f ms", f.rtt_ms);
  }
  char line[160];
  std::snprintf(line, sizeof line, "%.0f fps  %.0f kbit/s  rtt %s  decode %.1f ms  dropped %llu",
                f.fps, f.kbps, rtt, f.decode_ms, static_cast<unsigned long long>(f.dropped));
  std::string text = line;
  if (f.asked_fps != 0) text += "\n" + rate_note(f.asked_fps);
  return text;
}

std::string rate_note(std::uint16_t asked_fps) {
  if (asked_fps == 0) return {};
  return "Decoding is too slow here: asked the host for " + std::to_string(asked_fps) + " fps.";
}

bool PresentationGate::decoded(std::uint64_t host_us, std::uint64_t local_us) {
  const std::int64_t transit = static_cast<std::int64_t>(local_us - host_us);
  if (!have_span_ || local_us - span_start_us_ >= kBaselineSpanMs * 1000) {
    previous_min_ = span_min_;
    have_previous_ = have_span_;
    span_min_ = transit;
    span_start_us_ = local_us;
    have_span_ = true;
  }
  span_min_ = std::min(span_min_, transit);
  const std::int64_t baseline = have_previous_ ? std::min(previous_min_, span_min_) : span_min_;
  const bool late = transit - baseline > static_cast<std::int64_t>(kLateMs * 1000);
  const bool held_too_long = shown_any_ && local_us - last_shown_us_ >= kLongestHoldMs * 1000;
  if (late && !held_too_long && shown_any_) return false;
  shown_any_ = true;
  last_shown_us_ = local_us;
  return true;
}

bool FrameRateGovernor::second_passed(const Second& s) {
  if (s.frames < kFewestFrames) return false;
  const double busy = s.decode_ms / 1000.0;
  const bool slow = busy > kBusyShare ||
                    static_cast<double>(s.late) > kLateShare * static_cast<double>(s.frames);
  const double full_rate_busy =
      s.decode_ms / static_cast<double>(s.frames) * static_cast<double>(full_) / 1000.0;
  slow_run_ = slow ? slow_run_ + 1 : 0;
  fast_run_ = lowered() && !slow && s.late == 0 && full_rate_busy < kFullRateShare
                  ? fast_run_ + 1
                  : 0;
  if (slow_run_ >= kSlowSeconds && asked_ > kLowestFps) {
    asked_ = static_cast<std::uint16_t>(std::max<int>(kLowestFps, asked_ / 2));
    slow_run_ = 0;
    fast_run_ = 0;
    return true;
  }
  if (fast_run_ >= kFastSeconds) {
    asked_ = full_;
    fast_run_ = 0;
    slow_run_ = 0;
    return true;
  }
  return false;
}

void FrameRateGovernor::reset(std::uint16_t full_fps) {
  full_ = asked_ = full_fps;
  slow_run_ = fast_run_ = 0;
}

}  // namespace tolvi::viewer
