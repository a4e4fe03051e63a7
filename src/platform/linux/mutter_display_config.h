#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tolvi::platform {

// A logical monitor of mutter's DisplayConfig: where it is, its scale and turn, and the
// monitors (connectors) it shows.
struct LogicalMonitor {
  std::int32_t x = 0;
  std::int32_t y = 0;
  double scale = 1;
  std::uint32_t transform = 0;
  bool primary = false;
  std::vector<std::string> connectors;
};

// One logical monitor as ApplyMonitorsConfig takes it: its monitors with the mode each shows.
struct LogicalConfig {
  LogicalMonitor place;
  std::vector<std::pair<std::string, std::string>> connector_modes;
};

// The display guardian's first argument for a GNOME/Wayland display: then the host's process
// id. It is told, one line each, the configuration to restore ("restore ...", from
// format_display_configuration) or that there is none ("nothing"), and applies the last one
// it was told when the host ends (through the session bus of its environment).
constexpr char kMutterDisplayOption[] = "--mutter-display";
constexpr char kRestoreCommand[] = "restore";
constexpr char kNothingToRestore[] = "nothing";

// "restore X Y SCALE TRANSFORM PRIMARY CONNECTOR MODE ... | X Y ...": connectors and mode ids
// have no blanks.
std::string format_display_configuration(const std::vector<LogicalConfig>& config);
std::optional<std::vector<LogicalConfig>> parse_display_configuration(const std::string& line);
// Applies `config` (the temporary method) on the session bus; false when it was not taken.
bool apply_display_configuration(const std::vector<LogicalConfig>& config);

}  // namespace tolvi::platform
