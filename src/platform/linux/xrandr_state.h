#pragma once
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/display.h"
#include "platform/linux/xrandr_output.h"

namespace tolvi::platform {

// What a host process changed on one X display and how to put it back, kept in a file while
// a change is in force. X keeps a RandR change after its client dies, so the guardian (when
// the host ends in any way) or the next start (when the guardian died too) replays it.
struct DisplayChangeRecord {
  pid_t owner = 0;
  std::string display;  // X display name, as the host opened it
  std::string output;

  // The mode before the first switch, and the one switched to last.
  bool mode_saved = false;
  std::uint64_t original_mode = 0;
  std::uint32_t original_width = 0, original_height = 0;
  ScreenSize original_screen;
  bool mode_set = false;
  std::uint32_t set_width = 0, set_height = 0;

  // Xft.dpi before the first change (nullopt: not set) and the value set last.
  bool dpi_saved = false;
  std::optional<std::string> original_dpi;
  bool dpi_set = false;
  std::string set_dpi;

  bool any_change() const { return mode_set || dpi_set; }
};

// The record file for an X display inside `folder`.
std::filesystem::path change_record_path(const std::filesystem::path& folder,
                                         const std::string& display);
bool write_change_record(const std::filesystem::path& path, const DisplayChangeRecord& record);
std::optional<DisplayChangeRecord> read_change_record(const std::filesystem::path& path);

// Undoes what `record` says was changed, but only where the display still shows what was
// set (a later change by the local user is left alone). Puts the original mode back on the
// output and the original Xft.dpi on the root window.
DisplayRecovery undo_recorded_changes(X11Connection& connection, const DisplayChangeRecord& record);

}  // namespace tolvi::platform
