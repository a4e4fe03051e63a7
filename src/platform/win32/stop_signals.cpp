// Console control events: Ctrl+C, Ctrl+Break, closing the console window, log-off and
// shut-down of a console process. The system calls the handler on a thread of its own.
#include "platform/stop_signals.h"

#include <windows.h>

#include <atomic>
#include <utility>

namespace tolvi::platform {
namespace {

std::function<void(int)>& stop_callback() {
  static std::function<void(int)> callback;
  return callback;
}
std::atomic<bool> stop_requested{false};

BOOL WINAPI on_console_event(DWORD event) {
  if (!stop_requested.exchange(true)) stop_callback()(kConsoleEventBase + static_cast<int>(event));
  // Handled: the process is not ended for us (for the close, log-off and shut-down events
  // Windows ends it once this returns, so the callback runs the stop to its end first).
  return TRUE;
}

}  // namespace

void watch_stop_signals(std::function<void(int)> on_stop) {
  stop_callback() = std::move(on_stop);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace tolvi::platform
