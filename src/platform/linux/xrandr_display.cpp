// Display control on X11: RandR modes of the captured output, Xft.dpi as the scaling, and a
// guardian process that undoes both when this process ends in any way (X keeps a RandR change
// after its client is gone, unlike a temporary mode switch on Windows).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>

#include "platform/capture.h"
#include "platform/display.h"
#include "platform/linux/display_guardian.h"
#include "platform/linux/x11_backends.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/xrandr_output.h"
#include "platform/linux/xrandr_state.h"

namespace tolvi::platform {

namespace {

constexpr double kMillimetresPerInch = 25.4;
// Named in the log when a mode switch is refused.
constexpr char kSwitchCall[] = "RandR mode switch";
constexpr int kLastLadderIndex = static_cast<int>(kScaleLadder.size()) - 1;

bool process_alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

class XrandrDisplayBackend : public DisplayBackend {
 public:
  XrandrDisplayBackend(std::unique_ptr<X11Connection> connection, std::filesystem::path folder)
      : connection_(std::move(connection)) {
    record_.owner = getpid();
    record_.display = DisplayString(connection_->display());
    if (!folder.empty()) record_path_ = change_record_path(folder, record_.display);
  }

  // guardian_ goes first (members end in reverse order): its closing tells the guardian to
  // undo whatever is still recorded.
  ~XrandrDisplayBackend() override = default;

  bool current_mode(const std::string& device, DisplayMode& mode) override {
    std::optional<DisplayMode> now = XrandrOutput(*connection_, device).current_mode();
    if (!now) return false;
    mode = *now;
    return true;
  }

  std::vector<DisplayMode> modes(const std::string& device) override {
    return XrandrOutput(*connection_, device).modes();
  }

  DisplayResult set_mode(const std::string& device, const DisplayMode& mode) override {
    XrandrOutput output(*connection_, device);
    if (!record_.mode_saved) {
      std::optional<DisplayMode> now = output.current_mode();
      if (!now) return DisplayResult::refused(kSwitchCall, BadMatch);
      record_.mode_saved = true;
      record_.original_mode = now->id;
      record_.original_width = now->width;
      record_.original_height = now->height;
      record_.original_screen = output.screen_size();
    }
    record_.output = device;
    record_.mode_set = true;
    record_.set_width = mode.width;
    record_.set_height = mode.height;
    guard();
    const long status = output.switch_to(mode.id);
    return status == 0 ? DisplayResult::done() : DisplayResult::refused(kSwitchCall, status);
  }

  void restore_mode(const std::string&) override {
    if (!record_.mode_set) return;
    DisplayChangeRecord mode_only = record_;
    mode_only.dpi_set = false;
    undo_recorded_changes(*connection_, mode_only);
    record_.mode_set = false;
    record_.mode_saved = false;
    if (!record_path_.empty()) write_change_record(record_path_, record_);
  }

  bool get_scale(const std::string& device, RelativeScale& scale) override {
    std::optional<int> recommended = recommended_index(device);
    if (!recommended) return false;
    const int dpi = dpi_of(read_xft_dpi(*connection_));
    if (connection_->broken()) return false;
    const int current = nearest_ladder_index(dpi * 100.0 / kBaseDpi);
    scale.minimum = -*recommended;
    scale.current = current - *recommended;
    scale.maximum = kLastLadderIndex - *recommended;
    return true;
  }

  bool set_scale(const std::string& device, const ScaleTarget&, std::int32_t step) override {
    std::optional<int> recommended = recommended_index(device);
    if (!recommended) return false;
    const int index = *recommended + step;
    if (index < 0 || index > kLastLadderIndex) return false;
    if (!record_.dpi_saved) {
      record_.dpi_saved = true;
      record_.original_dpi = read_xft_dpi(*connection_);
    }
    const int percent = kScaleLadder[static_cast<std::size_t>(index)];
    std::optional<std::string> value;
    if (nearest_ladder_index(dpi_of(record_.original_dpi) * 100.0 / kBaseDpi) == index) {
      // Back on the step the user had: their exact value (or none) again.
      value = record_.original_dpi;
      record_.dpi_set = false;
    } else {
      value = std::to_string(percent * kBaseDpi / 100);
      record_.dpi_set = true;
      record_.set_dpi = *value;
    }
    record_.output = device;
    guard();
    return write_xft_dpi(*connection_, value);
  }

  void changes_undone() override {
    std::error_code ec;
    if (!record_path_.empty()) std::filesystem::remove(record_path_, ec);
    const pid_t owner = record_.owner;
    const std::string display = record_.display;
    record_ = DisplayChangeRecord{};
    record_.owner = owner;
    record_.display = display;
  }

 private:
  // The step desktop environments choose by default: the ladder step nearest to the
  // output's physical DPI / 96 (100 % when its size is unknown).
  std::optional<int> recommended_index(const std::string& device) {
    XrandrOutput output(*connection_, device);
    std::optional<DisplayMode> mode = output.current_mode();
    if (!mode) return std::nullopt;
    const auto [mm_width, mm_height] = output.physical_mm();
    if (mm_width <= 0 || mm_height <= 0) return 0;
    const double dpi = mode->width * kMillimetresPerInch / mm_width;
    return nearest_ladder_index(dpi * 100.0 / kBaseDpi);
  }

  // Records what is about to change and makes sure someone undoes it if this process dies.
  void guard() {
    if (record_path_.empty()) return;
    write_change_record(record_path_, record_);
    if (guardian_.valid() || guardian_tried_) return;
    guardian_tried_ = true;
    guardian_ = start_guardian({record_path_.string(), std::to_string(record_.owner)});
  }

  std::unique_ptr<X11Connection> connection_;
  std::filesystem::path record_path_;
  DisplayChangeRecord record_;
  bool guardian_tried_ = false;
  UniqueFd guardian_;
};

}  // namespace

std::unique_ptr<DisplayBackend> make_xrandr_display_backend(
    const std::filesystem::path& state_folder) {
  std::unique_ptr<X11Connection> connection = X11Connection::open("");
  if (!connection) return nullptr;
  int event_base = 0, error_base = 0;
  if (!XRRQueryExtension(connection->display(), &event_base, &error_base)) return nullptr;
  return std::make_unique<XrandrDisplayBackend>(std::move(connection), state_folder);
}

DisplayRecovery recover_display_changes(const std::filesystem::path& state_folder) {
  DisplayRecovery total;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(state_folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("display-", 0) != 0 || entry.path().extension() != ".state") continue;
    std::optional<DisplayChangeRecord> record = read_change_record(entry.path());
    // A record of a process still running is that process's (and its guardian's) business.
    if (record && (record->owner == getpid() || process_alive(record->owner))) continue;
    if (record) {
      // A display that went away took the change with it.
      if (std::unique_ptr<X11Connection> connection = X11Connection::open(record->display)) {
        const DisplayRecovery recovery = undo_recorded_changes(*connection, *record);
        total.mode_restored |= recovery.mode_restored;
        if (recovery.scaling_restored)
          total = {total.mode_restored, true, recovery.scaling_percent};
      }
    }
    std::filesystem::remove(entry.path(), ec);
  }
  return total;
}

std::string primary_display_name() {
  // The display the capture streams, chosen the capture's own way.
  std::unique_ptr<CaptureDevice> device = make_capture_device("");
  return device ? device->output_name() : std::string();
}

}  // namespace tolvi::platform
