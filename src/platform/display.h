#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tolvi::platform {

// The scaling steps a display can be set to, in percent. Platforms count steps relative to
// the one they recommend for a display.
inline constexpr std::array<int, 12> kScaleLadder = {100, 125, 150, 175, 200, 225,
                                                     250, 300, 350, 400, 450, 500};

// The ladder step nearest to `percent` among the steps 0..highest (the lower one on a tie).
inline int nearest_ladder_index(double percent,
                                int highest = static_cast<int>(kScaleLadder.size()) - 1) {
  const auto distance = [percent](int i) {
    return std::fabs(percent - kScaleLadder[static_cast<std::size_t>(i)]);
  };
  int best = 0;
  const int top = std::min(highest, static_cast<int>(kScaleLadder.size()) - 1);
  for (int i = 1; i <= top; ++i) {
    if (distance(i) < distance(best)) best = i;
  }
  return best;
}

// One mode a display offers. `id` is the backend's own handle for it (a RandR mode, an
// enumeration index); the display-control logic only hands it back to `set_mode`.
struct DisplayMode {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t bits_per_pixel = 0;
  std::uint32_t refresh_hz = 0;
  std::uint64_t id = 0;
};

// The display a relative scale belongs to, in the backend's own terms: get_scale fills it in
// and only the same backend reads it back in set_scale.
struct ScaleTarget {
  std::array<std::uint8_t, 16> token{};
};

// What became of a display change: done, or refused with the platform's words for why (the
// call that refused and its status), which the log shows.
class DisplayResult {
 public:
  static DisplayResult done() { return DisplayResult(); }
  static DisplayResult refused(const std::string& call, long status) {
    DisplayResult result;
    result.refusal_ = call + " failed (" + std::to_string(status) + ")";
    return result;
  }
  bool ok() const { return refusal_.empty(); }
  // "" when done.
  const std::string& refusal() const { return refusal_; }

 private:
  std::string refusal_;
};

// Scaling as steps of the scale ladder relative to the step recommended for the display, as
// the platform reports them (the current step may lie outside minimum..maximum).
struct RelativeScale {
  ScaleTarget target;
  std::int32_t minimum = 0;
  std::int32_t current = 0;
  std::int32_t maximum = 0;
};

// Modes and scaling of the displays, named by the capture's output name. Used by the one
// thread that serves a session (and the process's exit paths); not thread-safe.
class DisplayBackend {
 public:
  virtual ~DisplayBackend() = default;

  virtual bool current_mode(const std::string& device, DisplayMode& mode) = 0;
  // Every mode the display offers, in the platform's order; empty when it cannot tell.
  virtual std::vector<DisplayMode> modes(const std::string& device) = 0;
  // Switches for this process only (undone when the process ends, however it ends).
  virtual DisplayResult set_mode(const std::string& device, const DisplayMode& mode) = 0;
  // Back to the display's mode from before this process switched it.
  virtual void restore_mode(const std::string& device) = 0;

  virtual bool get_scale(const std::string& device, RelativeScale& scale) = 0;
  // Sets `step` (relative to the recommended step) on `target`; true when accepted.
  virtual bool set_scale(const std::string& device, const ScaleTarget& target,
                         std::int32_t step) = 0;

  // Everything this process changed has been put back: safety nets for a crash stand down.
  virtual void changes_undone() = 0;
};

// The backend of this build. `state_folder` is where a backend that must undo changes after
// a crash keeps its record of them; empty for changes meant to stay (the scaling commands).
// Null when the platform has no display to act on.
std::unique_ptr<DisplayBackend> make_display_backend(const std::filesystem::path& state_folder);

// What a recovery put back.
struct DisplayRecovery {
  bool mode_restored = false;
  bool scaling_restored = false;
  int scaling_percent = 0;  // the scaling put back, when scaling_restored
};

// Puts back what an earlier process of this program changed and could not undo (it was
// killed together with its safety net); nothing where the platform undoes it by itself.
DisplayRecovery recover_display_changes(const std::filesystem::path& state_folder);

// The name of the display the capture streams (the primary one); "" when there is none.
std::string primary_display_name();

}  // namespace tolvi::platform
