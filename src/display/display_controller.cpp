#include "display/display_controller.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"

namespace tolvi {

namespace {

constexpr std::uint32_t kMatchedBitsPerPixel = 32;
// Weight of the aspect-ratio difference against pixel differences.
constexpr double kAspectWeight = 4000.0;
// A mode more than 5 % larger than asked in either direction costs this much.
constexpr double kOversizeFactor = 1.05;
constexpr double kOversizePenalty = 300.0;
// A mode slower than the current refresh rate costs this much.
constexpr double kSlowerRefreshPenalty = 50.0;
constexpr double kNoScore = 1e18;
// Scaling closer than this many points to the target is left alone.
constexpr int kScaleDeadBand = 12;
constexpr std::size_t kMaxReportChars = 127;

int ladder_percent(int index) {
  if (index < 0 || index >= static_cast<int>(kScaleLadder.size())) return -1;
  return kScaleLadder[static_cast<std::size_t>(index)];
}

}  // namespace

void recover_earlier_display_changes() {
  const platform::DisplayRecovery recovery =
      platform::recover_display_changes(log_file_path().parent_path());
  if (recovery.mode_restored) log_message("display mode restored");
  if (recovery.scaling_restored) {
    log_message("display scaling restored to %d%%", recovery.scaling_percent);
  }
}

double mode_score(const platform::DisplayMode& mode, std::int32_t width, std::int32_t height,
                  std::uint32_t current_refresh_hz) {
  const double mw = mode.width, mh = mode.height;
  const double w = width, h = height;
  double score = std::fabs(mw / mh - w / std::max(h, 1.0)) * kAspectWeight + std::fabs(mh - h) +
                 std::fabs(mw - w);
  if (mw > kOversizeFactor * w || mh > kOversizeFactor * h) score += kOversizePenalty;
  if (mode.refresh_hz < current_refresh_hz) score += kSlowerRefreshPenalty;
  return score;
}

const platform::DisplayMode* best_mode(const std::vector<platform::DisplayMode>& modes,
                                       std::int32_t width, std::int32_t height,
                                       std::uint32_t current_refresh_hz) {
  const platform::DisplayMode* best = nullptr;
  double best_score = kNoScore;
  for (const platform::DisplayMode& mode : modes) {
    if (mode.bits_per_pixel != kMatchedBitsPerPixel || mode.height == 0) continue;
    const double score = mode_score(mode, width, height, current_refresh_hz);
    if (score < best_score) {
      best_score = score;
      best = &mode;
    }
  }
  return best;
}

DisplayController::DisplayController(BackendFactory factory) : factory_(std::move(factory)) {}

DisplayController::DisplayController(platform::DisplayBackend& backend) : backend_(&backend) {}

DisplayController::~DisplayController() = default;

platform::DisplayBackend* DisplayController::backend() {
  if (!backend_ && factory_) {
    owned_backend_ = factory_();
    backend_ = owned_backend_.get();
    // One attempt: a process without a display does not retry on every call.
    factory_ = nullptr;
  }
  return backend_;
}

void DisplayController::set_device_name(const std::string& name) { device_name_ = name; }

bool DisplayController::apply_client_display(std::int32_t width, std::int32_t height,
                                             double scale) {
  // The scaling from before the first change is what restore() goes back to, however many
  // changes follow.
  if (!mode_changed_ && !scaling_changed_) saved_scale_ = current_scale_percent();
  const bool changed = match_mode(width, height);
  if (match_scaling(width, scale)) return true;
  return changed;
}

bool DisplayController::match_mode(std::int32_t width, std::int32_t height) {
  platform::DisplayBackend* display = backend();
  if (!display) return false;
  platform::DisplayMode current;
  if (!display->current_mode(device_name_, current)) return false;
  const std::vector<platform::DisplayMode> modes = display->modes(device_name_);
  if (modes.empty()) return false;
  const platform::DisplayMode* best = best_mode(modes, width, height, current.refresh_hz);
  if (!best) return false;
  // A better refresh rate alone never switches.
  if (best->width == current.width && best->height == current.height) return false;
  const platform::DisplayResult result = display->set_mode(device_name_, *best);
  if (!result.ok()) {
    log_message("%s", result.refusal().c_str());
    return false;
  }
  mode_changed_ = true;
  log_message("display mode -> %lux%lu @%luHz", static_cast<unsigned long>(best->width),
              static_cast<unsigned long>(best->height),
              static_cast<unsigned long>(best->refresh_hz));
  return true;
}

bool DisplayController::match_scaling(std::int32_t width, double scale) {
  platform::DisplayBackend* display = backend();
  if (!display) return false;
  platform::DisplayMode current;
  if (!display->current_mode(device_name_, current)) return false;
  const double points = width / std::max(scale, 1.0);
  const int target = static_cast<int>(std::lround(current.width * 100.0 / std::max(points, 1.0)));
  const int before = current_scale_percent();
  if (before == 0 || saved_scale_ == 0 || std::abs(before - target) <= kScaleDeadBand) {
    return false;
  }
  if (!set_scale_percent(target)) return false;
  scaling_changed_ = true;
  log_message("display scaling %d%% -> %d%%", before, current_scale_percent());
  return true;
}

void DisplayController::restore() {
  if (!mode_changed_ && !scaling_changed_) {
    // Nothing to undo (and no display to open for it).
    saved_scale_ = 0;
    return;
  }
  platform::DisplayBackend* display = backend();
  if (mode_changed_) {
    if (display) display->restore_mode(device_name_);
    mode_changed_ = false;
    log_message("display mode restored");
  }
  if (scaling_changed_ && saved_scale_ != 0 && current_scale_percent() != saved_scale_) {
    set_scale_percent(saved_scale_);
    log_message("display scaling restored to %d%%", saved_scale_);
  }
  scaling_changed_ = false;
  saved_scale_ = 0;
  if (display) display->changes_undone();
}

bool DisplayController::query_scale(platform::RelativeScale& scale) {
  platform::DisplayBackend* display = backend();
  if (!display) return false;
  scale = platform::RelativeScale{};
  if (!display->get_scale(device_name_, scale)) return false;
  if (scale.current < scale.minimum) scale.current = scale.minimum;
  if (scale.current > scale.maximum) scale.current = scale.maximum;
  return true;
}

int DisplayController::current_scale_percent() {
  platform::RelativeScale scale;
  if (!query_scale(scale)) return 0;
  const int percent = ladder_percent(std::abs(scale.minimum) + scale.current);
  return percent < 0 ? 0 : percent;
}

bool DisplayController::set_scale_percent(int percent) {
  platform::RelativeScale scale;
  if (!query_scale(scale)) return false;
  const int recommended = std::abs(scale.minimum);
  if (percent == 0) {
    percent = ladder_percent(recommended);
    // A recommendation beyond the ladder cannot be expressed as a percentage.
    if (percent < 0) return false;
  }
  const int top = recommended + scale.maximum;
  const int index = top < 0 ? 0 : platform::nearest_ladder_index(percent, top);
  return backend()->set_scale(device_name_, scale.target, index - recommended);
}

std::string DisplayController::scale_report() {
  platform::RelativeScale scale;
  if (!query_scale(scale)) return "unavailable";
  const int recommended = std::abs(scale.minimum);
  char text[kMaxReportChars + 1];
  std::snprintf(text, sizeof text, "current %d%%, recommended %d%%, allowed %d%%..%d%%",
                ladder_percent(recommended + scale.current), ladder_percent(recommended),
                kScaleLadder[0], ladder_percent(recommended + scale.maximum));
  return text;
}

}  // namespace tolvi
