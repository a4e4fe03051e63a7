// --get-scale and --set-scale n: the primary display's scaling, logged before and after. A
// change made here is the user's own and stays.
#include <cctype>
#include <chrono>
#include <string>
#include <thread>

#include "app/command_line.h"
#include "app/modes.h"
#include "display/display_controller.h"
#include "platform/display.h"
#include "base/log.h"

namespace tolvi {

namespace {

constexpr char kSetScale[] = "--set-scale";
constexpr auto kSettleTime = std::chrono::milliseconds(500);

// The number after the first "--set-scale", read the way _wtoi reads: blanks skipped, digits
// up to the first other character, 0 without any.
int set_scale_argument(const std::string& command_line) {
  std::size_t at = command_line.find(kSetScale);
  if (at == std::string::npos) return 0;
  at += sizeof kSetScale - 1;
  while (at < command_line.size() && (command_line[at] == ' ' || command_line[at] == '\t')) ++at;
  bool negative = false;
  if (at < command_line.size() && (command_line[at] == '-' || command_line[at] == '+')) {
    negative = command_line[at] == '-';
    ++at;
  }
  long value = 0;
  while (at < command_line.size() && std::isdigit(static_cast<unsigned char>(command_line[at])) &&
         value < 1000000) {
    value = value * 10 + (command_line[at] - '0');
    ++at;
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

int run_scaling_command() {
  const bool set = command_line_has(kSetScale);
  const int percent = set ? set_scale_argument(raw_command_line()) : 0;
  const std::string device = platform::primary_display_name();
  if (device.empty()) return 0;
  // No record folder: nothing here is undone when the command ends.
  DisplayController controller([] { return platform::make_display_backend({}); });
  controller.set_device_name(device);
  log_message("scale before: %s", controller.scale_report().c_str());
  if (set) {
    const bool ok = controller.set_scale_percent(percent);
    std::this_thread::sleep_for(kSettleTime);
    log_message("--set-scale %d: %s; %s", percent, ok ? "ok" : "failed",
                controller.scale_report().c_str());
  }
  return 0;
}

}  // namespace tolvi
