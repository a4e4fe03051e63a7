// tolvi-display-guardian: started by the host with a connection from the host as standard
// input. Before the host's first display change it gets the host's change record as its
// argument, and when the connection closes (the host ended, however it ended) it undoes what
// the record still lists. With "--held-input DISPLAY PID MODE" (started at a session's first
// press, MODE the host's run mode, which says where to log)
// it hears of every key and button the host presses and releases, and when the connection
// closes it releases what the host still held: a client's Shift or mouse button must not stay
// down on the desktop because the host was killed.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/log.h"
#include "base/log_target.h"
#include "base/run_mode.h"
#include "platform/linux/display_guardian.h"
#include "platform/linux/held_input.h"
#include "platform/linux/mutter_display_config.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/xrandr_state.h"

namespace {

// Hands each line the host sends to `on_line` until the connection closes.
template <typename OnLine>
void read_host_lines(OnLine on_line) {
  std::string pending;
  char buffer[256];
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      on_line(std::string_view(pending).substr(0, end));
      pending.erase(0, end + 1);
    }
  }
}

// Follows the host's presses and releases until the connection closes, then releases what is
// still held on `display_name`.
int release_what_the_host_held(const char* display_name, const char* host) {
  tolvi::platform::HeldInput held;
  read_host_lines([&held](std::string_view line) { held.apply(line); });
  if (held.empty()) return 0;
  auto connection = tolvi::platform::X11Connection::open(display_name);
  if (!connection) return 1;
  Display* display = connection->display();
  for (unsigned button : held.buttons) XTestFakeButtonEvent(display, button, False, CurrentTime);
  for (unsigned key : held.keys) XTestFakeKeyEvent(display, key, False, CurrentTime);
  XSync(display, False);
  tolvi::log_message("released %zu keys and %zu buttons that process %s left held",
                     held.keys.size(), held.buttons.size(), host);
  return 0;
}

// Follows what the host says is to be restored on its GNOME/Wayland display until the
// connection closes, then applies the last configuration it was told, if any.
int restore_mutter_display(const char* host) {
  std::string last;
  read_host_lines([&last](std::string_view line) { last = line; });
  const auto config = tolvi::platform::parse_display_configuration(last);
  if (!config) return 0;
  if (!tolvi::platform::apply_display_configuration(*config)) {
    tolvi::log_message("the display configuration process %s changed could not be put back", host);
    return 1;
  }
  tolvi::log_message("display configuration that process %s changed put back", host);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tolvi;
  if (argc < 3) return 2;
  const bool held_input = std::strcmp(argv[1], platform::kHeldInputOption) == 0;
  if (held_input && argc < 5) return 2;
  // A Ctrl+C or a stop request for the host's process group must not take the guardian with
  // it before it did its job; it ends by itself once the host is gone.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  if (std::strcmp(argv[1], platform::kMutterDisplayOption) == 0) {
    // Run by the agent or a test host: logs where an agent logs when started by the service.
    if (argc >= 4 && std::atoi(argv[3]) == static_cast<int>(RunMode::Agent)) {
      run_mode.store(RunMode::Agent);
    }
    return restore_mutter_display(argv[2]);
  }
  if (held_input) {
    // Logs where the host logs.
    if (std::atoi(argv[4]) == static_cast<int>(RunMode::Agent)) run_mode.store(RunMode::Agent);
    return release_what_the_host_held(argv[2], argv[3]);
  }
  // From the host itself: by the time this runs the host may already be gone (and our
  // parent someone else).
  const pid_t host = static_cast<pid_t>(std::atol(argv[2]));
  const std::filesystem::path record_path = argv[1];
  // Log where the host logs: its record sits in its log folder.
  if (record_path.parent_path() == data_folder(DataFolder::Machine)) {
    run_mode.store(RunMode::Agent);
  }

  char buffer[64];
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }

  std::optional<platform::DisplayChangeRecord> record = platform::read_change_record(record_path);
  if (!record || record->owner != host) return 0;
  std::error_code ec;
  if (!record->any_change()) {
    std::filesystem::remove(record_path, ec);
    return 0;
  }
  std::unique_ptr<platform::X11Connection> connection =
      platform::X11Connection::open(record->display);
  if (connection) {
    const platform::DisplayRecovery recovery =
        platform::undo_recorded_changes(*connection, *record);
    if (recovery.mode_restored) log_message("display mode restored");
    if (recovery.scaling_restored) {
      log_message("display scaling restored to %d%%", recovery.scaling_percent);
    }
  }
  std::filesystem::remove(record_path, ec);
  return 0;
}
