// Display control on GNOME/Wayland: mutter's DisplayConfig interface on the session bus.
// GetCurrentState lists the monitors (each with its modes and the scales each mode allows) and
// the logical monitors they form; ApplyMonitorsConfig with the temporary method switches a
// mode or a scale for this login only (nothing is written to the user's monitors.xml). The
// configuration from before the first change is kept and applied again to restore.
//
// The display the capture streams is "primary": the primary logical monitor's first monitor.
// Scaling steps follow the ladder relative to the mode's preferred scale, limited to the
// scales mutter says the mode supports.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/run_mode.h"
#include "platform/display.h"
#include "platform/linux/mutter_backends.h"
#include "platform/linux/mutter_display_config.h"
#include "platform/linux/display_guardian.h"
#include "platform/linux/sd_bus_holders.h"

namespace tolvi::platform {
namespace {

constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
constexpr std::uint32_t kTemporaryMethod = 1;
constexpr std::uint64_t kCallTimeoutUs = 5000000;
constexpr std::uint32_t kBitsPerPixel = 32;
// The calls a refused mode switch names in the log (sd-bus answers with a negative errno).
constexpr char kStateCall[] = "DisplayConfig GetCurrentState";
constexpr char kApplyCall[] = "DisplayConfig ApplyMonitorsConfig";

struct MonitorMode {
  std::string id;
  std::int32_t width = 0;
  std::int32_t height = 0;
  double refresh = 0;
  double preferred_scale = 1;
  std::vector<double> scales;
  bool current = false;
};

struct Monitor {
  std::string connector;
  std::vector<MonitorMode> modes;
  const MonitorMode* current() const {
    for (const MonitorMode& mode : modes) {
      if (mode.current) return &mode;
    }
    return nullptr;
  }
};


struct DisplayState {
  std::uint32_t serial = 0;
  std::vector<Monitor> monitors;
  std::vector<LogicalMonitor> logical;
};


bool read_connector(sd_bus_message* m, std::string& connector) {
  const char* parts[4] = {};
  if (sd_bus_message_read(m, "(ssss)", &parts[0], &parts[1], &parts[2], &parts[3]) < 0) {
    return false;
  }
  connector = parts[0];
  return true;
}

bool read_mode(sd_bus_message* m, MonitorMode& mode) {
  const char* id = nullptr;
  if (sd_bus_message_enter_container(m, 'r', "siiddada{sv}") < 0 ||
      sd_bus_message_read(m, "siidd", &id, &mode.width, &mode.height, &mode.refresh,
                          &mode.preferred_scale) < 0 ||
      sd_bus_message_enter_container(m, 'a', "d") < 0) {
    return false;
  }
  mode.id = id;
  double scale = 0;
  int got = 0;
  while ((got = sd_bus_message_read(m, "d", &scale)) > 0) mode.scales.push_back(scale);
  if (got < 0 || sd_bus_message_exit_container(m) < 0) return false;
  // The mode's properties: only "is-current" matters here.
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
  while ((got = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return false;
    if (std::string(key) == "is-current") {
      int value = 0;
      if (sd_bus_message_read(m, "v", "b", &value) < 0) return false;
      mode.current = value != 0;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  return got >= 0 && sd_bus_message_exit_container(m) >= 0 &&
         sd_bus_message_exit_container(m) >= 0;
}

bool read_monitor(sd_bus_message* m, Monitor& monitor) {
  if (sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}") < 0 ||
      !read_connector(m, monitor.connector) ||
      sd_bus_message_enter_container(m, 'a', "(siiddada{sv})") < 0) {
    return false;
  }
  int more = 0;
  while ((more = sd_bus_message_at_end(m, false)) == 0) {
    MonitorMode mode;
    if (!read_mode(m, mode)) return false;
    monitor.modes.push_back(std::move(mode));
  }
  return more > 0 && sd_bus_message_exit_container(m) >= 0 &&
         sd_bus_message_skip(m, "a{sv}") >= 0 && sd_bus_message_exit_container(m) >= 0;
}

bool read_logical(sd_bus_message* m, LogicalMonitor& logical) {
  int primary = 0;
  if (sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}") < 0 ||
      sd_bus_message_read(m, "iidub", &logical.x, &logical.y, &logical.scale,
                          &logical.transform, &primary) < 0 ||
      sd_bus_message_enter_container(m, 'a', "(ssss)") < 0) {
    return false;
  }
  logical.primary = primary != 0;
  int more = 0;
  while ((more = sd_bus_message_at_end(m, false)) == 0) {
    std::string connector;
    if (!read_connector(m, connector)) return false;
    logical.connectors.push_back(std::move(connector));
  }
  return more > 0 && sd_bus_message_exit_container(m) >= 0 &&
         sd_bus_message_skip(m, "a{sv}") >= 0 && sd_bus_message_exit_container(m) >= 0;
}

std::optional<DisplayState> read_state(sd_bus* bus) {
  SdBusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, kDisplayConfigName, kDisplayConfigPath, kDisplayConfigName,
                         "GetCurrentState", error.get(), &raw, "") < 0) {
    return std::nullopt;
  }
  SdBusMessage reply(raw);
  sd_bus_message* m = reply.get();
  DisplayState state;
  if (sd_bus_message_read(m, "u", &state.serial) < 0 ||
      sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})") < 0) {
    return std::nullopt;
  }
  int more = 0;
  while ((more = sd_bus_message_at_end(m, false)) == 0) {
    Monitor monitor;
    if (!read_monitor(m, monitor)) return std::nullopt;
    state.monitors.push_back(std::move(monitor));
  }
  if (more < 0 || sd_bus_message_exit_container(m) < 0 ||
      sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})") < 0) {
    return std::nullopt;
  }
  while ((more = sd_bus_message_at_end(m, false)) == 0) {
    LogicalMonitor logical;
    if (!read_logical(m, logical)) return std::nullopt;
    state.logical.push_back(std::move(logical));
  }
  if (more < 0) return std::nullopt;
  return state;
}

// The state as a configuration that, applied, changes nothing.
std::vector<LogicalConfig> configuration_of(const DisplayState& state) {
  std::vector<LogicalConfig> config;
  for (const LogicalMonitor& logical : state.logical) {
    LogicalConfig entry{logical, {}};
    for (const std::string& connector : logical.connectors) {
      for (const Monitor& monitor : state.monitors) {
        if (monitor.connector != connector) continue;
        if (const MonitorMode* mode = monitor.current()) {
          entry.connector_modes.emplace_back(connector, mode->id);
        }
      }
    }
    config.push_back(std::move(entry));
  }
  return config;
}

// 0, or the negative errno of the failed call.
int apply(sd_bus* bus, std::uint32_t serial, const std::vector<LogicalConfig>& config) {
  sd_bus_message* raw = nullptr;
  if (int r = sd_bus_message_new_method_call(bus, &raw, kDisplayConfigName, kDisplayConfigPath,
                                             kDisplayConfigName, "ApplyMonitorsConfig");
      r < 0) {
    return r;
  }
  SdBusMessage call(raw);
  sd_bus_message* m = call.get();
  int r = sd_bus_message_append(m, "uu", serial, kTemporaryMethod);
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(iiduba(ssa{sv}))");
  for (const LogicalConfig& entry : config) {
    if (r >= 0) r = sd_bus_message_open_container(m, 'r', "iiduba(ssa{sv})");
    if (r >= 0) {
      r = sd_bus_message_append(m, "iidub", entry.place.x, entry.place.y, entry.place.scale,
                                entry.place.transform, static_cast<int>(entry.place.primary));
    }
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(ssa{sv})");
    for (const auto& [connector, mode] : entry.connector_modes) {
      if (r >= 0) r = sd_bus_message_append(m, "(ssa{sv})", connector.c_str(), mode.c_str(), 0);
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_append(m, "a{sv}", 0);
  if (r < 0) return r;
  SdBusError error;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(bus, m, kCallTimeoutUs, error.get(), &reply);
  SdBusMessage held(reply);
  if (r < 0) log_message("wayland: mutter refused the display configuration: %s", error.message());
  return r < 0 ? r : 0;
}

// The ladder step nearest to a scale factor (1.0 = 100 %).
int ladder_index(double scale) { return nearest_ladder_index(scale * 100.0); }

class MutterDisplayBackend : public DisplayBackend {
 public:
  MutterDisplayBackend(SdBus bus, bool undo_at_end) : bus_(std::move(bus)), undo_at_end_(undo_at_end) {}

  bool current_mode(const std::string& device, DisplayMode& mode) override {
    const auto state = read_state(bus_.get());
    const Monitor* monitor = state ? find(*state, device) : nullptr;
    const MonitorMode* now = monitor ? monitor->current() : nullptr;
    if (!now) return false;
    mode = to_display_mode(*now, index_of(*monitor, *now));
    return true;
  }

  std::vector<DisplayMode> modes(const std::string& device) override {
    std::vector<DisplayMode> out;
    const auto state = read_state(bus_.get());
    const Monitor* monitor = state ? find(*state, device) : nullptr;
    if (!monitor) return out;
    for (std::size_t i = 0; i < monitor->modes.size(); ++i) {
      out.push_back(to_display_mode(monitor->modes[i], i));
    }
    return out;
  }

  DisplayResult set_mode(const std::string& device, const DisplayMode& mode) override {
    auto state = read_state(bus_.get());
    const Monitor* monitor = state ? find(*state, device) : nullptr;
    if (!monitor || mode.id >= monitor->modes.size()) {
      return DisplayResult::refused(kStateCall, -ENODEV);
    }
    remember(*state);
    std::vector<LogicalConfig> config = configuration_of(*state);
    const std::string& wanted = monitor->modes[mode.id].id;
    for (LogicalConfig& entry : config) {
      for (auto& [connector, mode_id] : entry.connector_modes) {
        if (connector == monitor->connector) mode_id = wanted;
      }
    }
    const int r = apply(bus_.get(), state->serial, config);
    if (r < 0) return DisplayResult::refused(kApplyCall, r);
    mode_changed_ = true;
    return DisplayResult::done();
  }

  void restore_mode(const std::string&) override {
    if (!mode_changed_) return;
    mode_changed_ = false;
    put_back();
  }

  bool get_scale(const std::string& device, RelativeScale& scale) override {
    const auto state = read_state(bus_.get());
    const Monitor* monitor = state ? find(*state, device) : nullptr;
    const MonitorMode* mode = monitor ? monitor->current() : nullptr;
    const LogicalMonitor* logical = state ? logical_of(*state, device) : nullptr;
    if (!mode || !logical || mode->scales.empty()) return false;
    const int recommended = ladder_index(mode->preferred_scale);
    int highest = 0;
    for (double s : mode->scales) highest = std::max(highest, ladder_index(s));
    // Steps count from 100 % (mutter always lists 1.0) up to the largest scale it lists.
    scale.minimum = -recommended;
    scale.maximum = highest - recommended;
    scale.current = ladder_index(logical->scale) - recommended;
    return true;
  }

  bool set_scale(const std::string& device, const ScaleTarget&, std::int32_t step) override {
    auto state = read_state(bus_.get());
    const Monitor* monitor = state ? find(*state, device) : nullptr;
    const MonitorMode* mode = monitor ? monitor->current() : nullptr;
    if (!mode) return false;
    const int index = ladder_index(mode->preferred_scale) + step;
    if (index < 0 || index >= static_cast<int>(kScaleLadder.size())) return false;
    // Only a scale mutter lists for the mode is taken: the one nearest the ladder's step.
    const double wanted = kScaleLadder[static_cast<std::size_t>(index)] / 100.0;
    const auto nearest = std::min_element(
        mode->scales.begin(), mode->scales.end(),
        [wanted](double a, double b) { return std::fabs(a - wanted) < std::fabs(b - wanted); });
    if (nearest == mode->scales.end() || ladder_index(*nearest) != index) return false;
    const LogicalMonitor* logical = logical_of(*state, device);
    if (logical && logical->scale == *nearest) return false;  // in force already: nothing set
    remember(*state);
    std::vector<LogicalConfig> config = configuration_of(*state);
    for (LogicalConfig& entry : config) {
      for (const auto& [connector, mode_id] : entry.connector_modes) {
        if (connector == monitor->connector) entry.place.scale = *nearest;
      }
    }
    if (apply(bus_.get(), state->serial, config) < 0) return false;
    scale_changed_ = true;
    return true;
  }

  void changes_undone() override {
    if (original_) forget();
    mode_changed_ = false;
    scale_changed_ = false;
  }

  ~MutterDisplayBackend() override {
    // What a session changed and nobody restored goes with its backend (the scaling commands'
    // changes are meant to stay).
    if (undo_at_end_ && (scale_changed_ || mode_changed_)) put_back();
  }

 private:
  static DisplayMode to_display_mode(const MonitorMode& mode, std::size_t index) {
    return {static_cast<std::uint32_t>(mode.width), static_cast<std::uint32_t>(mode.height),
            kBitsPerPixel, static_cast<std::uint32_t>(std::lround(mode.refresh)), index};
  }
  static std::size_t index_of(const Monitor& monitor, const MonitorMode& mode) {
    return static_cast<std::size_t>(&mode - monitor.modes.data());
  }
  // "primary" (what the capture calls its monitor) or a connector name.
  static const LogicalMonitor* logical_of(const DisplayState& state, const std::string& device) {
    for (const LogicalMonitor& logical : state.logical) {
      const bool named = std::find(logical.connectors.begin(), logical.connectors.end(),
                                   device) != logical.connectors.end();
      if (named || (device == "primary" && logical.primary)) return &logical;
    }
    return nullptr;
  }
  static const Monitor* find(const DisplayState& state, const std::string& device) {
    const LogicalMonitor* logical = logical_of(state, device);
    if (!logical || logical->connectors.empty()) return nullptr;
    const std::string& connector =
        device == "primary" ? logical->connectors.front() : device;
    for (const Monitor& monitor : state.monitors) {
      if (monitor.connector == connector) return &monitor;
    }
    return nullptr;
  }

  // Keeps the configuration from before the first change, and for a session's backend hands
  // it to the guardian, which applies it if this process ends without doing so itself.
  void remember(const DisplayState& state) {
    if (original_) return;
    original_ = configuration_of(state);
    if (!undo_at_end_) return;
    if (!guardian_.valid() && !guardian_tried_) {
      guardian_tried_ = true;
      guardian_ = start_guardian({kMutterDisplayOption, std::to_string(getpid()),
                                  std::to_string(static_cast<int>(run_mode.load()))});
    }
    tell_guardian(format_display_configuration(*original_));
  }

  void put_back() {
    scale_changed_ = false;
    if (!original_) return;
    const auto state = read_state(bus_.get());
    if (state) apply(bus_.get(), state->serial, *original_);
    forget();
  }

  void forget() {
    original_.reset();
    tell_guardian(kNothingToRestore);
  }

  void tell_guardian(const std::string& line) {
    if (!guardian_.valid()) return;
    const std::string text = line + "\n";
    const ssize_t sent = send(guardian_.get(), text.data(), text.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(text.size())) guardian_.reset();
  }

  SdBus bus_;
  std::optional<std::vector<LogicalConfig>> original_;
  bool undo_at_end_;
  bool guardian_tried_ = false;
  UniqueFd guardian_;  // closed with this backend: the guardian then acts on what it was told
  bool mode_changed_ = false;
  bool scale_changed_ = false;
};

}  // namespace

std::string format_display_configuration(const std::vector<LogicalConfig>& config) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << kRestoreCommand;
  for (const LogicalConfig& entry : config) {
    out << (&entry == config.data() ? " " : " | ") << entry.place.x << ' ' << entry.place.y << ' '
        << entry.place.scale << ' ' << entry.place.transform << ' ' << (entry.place.primary ? 1 : 0);
    for (const auto& [connector, mode] : entry.connector_modes) out << ' ' << connector << ' ' << mode;
  }
  return out.str();
}

std::optional<std::vector<LogicalConfig>> parse_display_configuration(const std::string& line) {
  std::istringstream in(line);
  in.imbue(std::locale::classic());
  std::string word;
  if (!(in >> word) || word != kRestoreCommand) return std::nullopt;
  std::vector<LogicalConfig> config;
  std::string rest;
  std::getline(in, rest);
  std::istringstream entries(rest);
  std::string entry_text;
  while (std::getline(entries, entry_text, '|')) {
    std::istringstream fields(entry_text);
    fields.imbue(std::locale::classic());
    LogicalConfig entry;
    int primary = 0;
    if (!(fields >> entry.place.x >> entry.place.y >> entry.place.scale >> entry.place.transform >>
          primary)) {
      return std::nullopt;
    }
    entry.place.primary = primary != 0;
    std::string connector, mode;
    while (fields >> connector) {
      if (!(fields >> mode)) return std::nullopt;
      entry.connector_modes.emplace_back(connector, mode);
    }
    if (entry.connector_modes.empty()) return std::nullopt;
    config.push_back(std::move(entry));
  }
  // Every '|' separates two monitors: one left empty at the end is a broken line too.
  if (config.empty() ||
      config.size() != static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '|')) + 1) {
    return std::nullopt;
  }
  return config;
}

bool apply_display_configuration(const std::vector<LogicalConfig>& config) {
  const SdBus bus = open_user_bus(kCallTimeoutUs);
  if (!bus) return false;
  const auto state = read_state(bus.get());
  return state && apply(bus.get(), state->serial, config) == 0;
}

std::unique_ptr<DisplayBackend> make_mutter_display_backend(bool undo_at_end) {
  SdBus bus = open_user_bus(kCallTimeoutUs);
  if (!bus) return nullptr;
  if (!read_state(bus.get())) {
    log_message("wayland: mutter's DisplayConfig interface does not answer; the mode stays");
    return nullptr;
  }
  return std::make_unique<MutterDisplayBackend>(std::move(bus), undo_at_end);
}

}  // namespace tolvi::platform
