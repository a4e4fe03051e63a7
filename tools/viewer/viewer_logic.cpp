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
  return line;
}

}  // namespace tolvi::viewer
