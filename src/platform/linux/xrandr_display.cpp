// Display control on X11: RandR modes of the captured output, Xft.dpi as the scaling, and a
// guardian process that undoes both when this process ends in any way (X keeps a RandR change
// after its client is gone, unlike a temporary mode switch on Windows).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>

#include "platform/capture.h"
#include "platform/display.h"
#include "platform/linux/display_guardian.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/xrandr_output.h"
#include "platform/linux/xrandr_state.h"

extern char** environ;

namespace tolvi::platform {

namespace {

constexpr double kMillimetresPerInch = 25.4;
constexpr int kLastLadderIndex = static_cast<int>(kScaleLadder.size()) - 1;

// A program this process may start: executable, and for root only one that root owns and
// nobody else may change (a root host never runs what another account could have put there).
bool trusted_program(const std::filesystem::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || access(path.c_str(), X_OK) != 0) {
    return false;
  }
  return geteuid() != 0 || (info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

// The guardian beside the running program (installed or in the build tree); a build with tests
// also knows where its own build put it, for test programs that run from other folders.
std::filesystem::path guardian_path() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const std::filesystem::path beside = self.parent_path() / kDisplayGuardianName;
    if (trusted_program(beside)) return beside;
  }
#ifdef TOLVI_DISPLAY_GUARDIAN_BUILD_PATH
  if (trusted_program(TOLVI_DISPLAY_GUARDIAN_BUILD_PATH)) return TOLVI_DISPLAY_GUARDIAN_BUILD_PATH;
#endif
  return {};
}

bool process_alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

class XrandrDisplayBackend : public DisplayBackend {
 public:
  XrandrDisplayBackend(std::unique_ptr<X11Connection> connection, std::filesystem::path folder)
      : connection_(std::move(connection)) {
    record_.owner = getpid();
    record_.display = DisplayString(connection_->display());
    if (!folder.empty()) record_path_ = change_record_path(folder, record_.display);
  }

  ~XrandrDisplayBackend() override {
    // Closing the pipe tells the guardian to undo whatever is still recorded.
    if (guardian_pipe_ >= 0) close(guardian_pipe_);
  }

  bool current_mode(const std::string& device, DisplayMode& mode) override {
    std::optional<DisplayMode> now = XrandrOutput(*connection_, device).current_mode();
    if (!now) return false;
    mode = *now;
    return true;
  }

  std::vector<DisplayMode> modes(const std::string& device) override {
    return XrandrOutput(*connection_, device).modes();
  }

  long set_mode(const std::string& device, const DisplayMode& mode) override {
    XrandrOutput output(*connection_, device);
    if (!record_.mode_saved) {
      std::optional<DisplayMode> now = output.current_mode();
      if (!now) return BadMatch;
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
    return output.switch_to(mode.id);
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
    if (guardian_pipe_ >= 0 || guardian_tried_) return;
    guardian_tried_ = true;
    const std::filesystem::path program = guardian_path();
    if (program.empty()) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The guardian reads the pipe as its standard input and holds nothing else of ours (an
    // inherited listening socket would outlive this process).
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const std::string program_text = program.string();
    const std::string record_text = record_path_.string();
    const std::string owner_text = std::to_string(record_.owner);
    const char* argv[] = {program_text.c_str(), record_text.c_str(), owner_text.c_str(), nullptr};
    // A session (and so a process group) of its own: the service ends a stuck agent with
    // SIGKILL to the agent's group, and a terminal's Ctrl+C goes to its foreground group; the
    // guardian must outlive both to do its job.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program_text.c_str(), &actions, &attributes,
                                    const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (spawned != 0) {
      close(fds[1]);
      return;
    }
    guardian_pipe_ = fds[1];
  }

  std::unique_ptr<X11Connection> connection_;
  std::filesystem::path record_path_;
  DisplayChangeRecord record_;
  int guardian_pipe_ = -1;
  bool guardian_tried_ = false;
};

}  // namespace

std::unique_ptr<DisplayBackend> make_display_backend(const std::filesystem::path& state_folder) {
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
