#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/display.h"

namespace tolvi {

using platform::kScaleLadder;

// Remembers the display-mode and scaling changes made for clients and undoes them exactly
// once. One process-wide instance, `display_controller` (app/process_wide.h); the scaling
// commands use one of their own. No lock: only the serving session's client thread and the
// process's exit paths use it. The three operations a session calls are virtual so that tests can
// stand in.
class DisplayController {
 public:
  using BackendFactory = std::function<std::unique_ptr<platform::DisplayBackend>()>;

  // No display to act on: nothing is ever changed.
  DisplayController() = default;
  // The backend is made on first use (so a process that never matches opens nothing).
  explicit DisplayController(BackendFactory factory);
  // A backend owned elsewhere (tests).
  explicit DisplayController(platform::DisplayBackend& backend);
  virtual ~DisplayController();
  DisplayController(const DisplayController&) = delete;
  DisplayController& operator=(const DisplayController&) = delete;

  // The output to act on (the captured one); set at the start of every session.
  virtual void set_device_name(const std::string& name);
  // Switches the mode and scaling to suit a client view of width x height at `scale`
  // (pixels per point); true when either changed.
  virtual bool apply_client_display(std::int32_t width, std::int32_t height, double scale);
  // Undoes whatever this controller changed; logs only what it undid.
  virtual void restore();

  // The mode step of apply_client_display.
  bool match_mode(std::int32_t width, std::int32_t height);
  // The scaling step of apply_client_display.
  bool match_scaling(std::int32_t width, double scale);

  // The relative scale of the device, its current step brought into minimum..maximum.
  bool query_scale(platform::RelativeScale& scale);
  // The percentage in force; 0 when unknown.
  int current_scale_percent();
  // The nearest allowed step to `percent` (the lower of two equally near); 0 = recommended.
  bool set_scale_percent(int percent);
  // "current P%, recommended P%, allowed P%..P%" or "unavailable".
  std::string scale_report();

  const std::string& device_name() const { return device_name_; }
  bool mode_changed() const { return mode_changed_; }
  bool scaling_changed() const { return scaling_changed_; }
  int saved_scale() const { return saved_scale_; }

 private:
  platform::DisplayBackend* backend();

  BackendFactory factory_;
  std::unique_ptr<platform::DisplayBackend> owned_backend_;
  platform::DisplayBackend* backend_ = nullptr;

  std::string device_name_;
  bool mode_changed_ = false;
  bool scaling_changed_ = false;
  int saved_scale_ = 0;
};

// Undoes what an earlier process of this program changed and could not undo itself (it
// was killed together with its safety net); logs what it put back. Called at start-up.
void recover_earlier_display_changes();

// The mode with the lowest score for a client view of width x height (of equal scores the
// first); nullptr when no mode has 32 bits per pixel.
const platform::DisplayMode* best_mode(const std::vector<platform::DisplayMode>& modes,
                                       std::int32_t width, std::int32_t height,
                                       std::uint32_t current_refresh_hz);
double mode_score(const platform::DisplayMode& mode, std::int32_t width, std::int32_t height,
                  std::uint32_t current_refresh_hz);

}  // namespace tolvi
