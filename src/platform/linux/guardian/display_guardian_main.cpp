// tolvi-display-guardian: started by the host before its first display change, with a pipe
// from the host as standard input and the host's change record as its argument. When the
// pipe closes (the host ended, however it ended) it undoes what the record still lists.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/linux/x11_connection.h"
#include "platform/linux/xrandr_state.h"
#include "platform/log_target.h"
#include "base/log.h"
#include "base/run_mode.h"

int main(int argc, char** argv) {
  using namespace tolvi;
  if (argc < 3) return 2;
  // A Ctrl+C or a stop request for the host's process group must not take the guardian with
  // it before it did its job; it ends by itself once the host is gone.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  // From the host itself: by the time this runs the host may already be gone (and our
  // parent someone else).
  const pid_t host = static_cast<pid_t>(std::atol(argv[2]));
  const std::filesystem::path record_path = argv[1];
  // Log where the host logs: its record sits in its log folder.
  if (record_path.parent_path() == platform::data_folder(platform::DataFolder::Machine)) {
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
