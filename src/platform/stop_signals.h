#pragma once
#include <functional>

namespace tolvi::platform {

// Requests from outside to stop the process in an orderly way: SIGTERM (what a service
// manager's stop sends) and SIGINT (Ctrl+C) on Linux; the console's Ctrl+C, Ctrl+Break and
// close events on Windows. The service manager's stop reaches a Windows service through its
// control handler instead.
//
// Once installed, these requests no longer end the process: the first one calls `on_stop` with
// its number (the signal number; on Windows the console event plus kConsoleEventBase) on a
// thread of its own, and later ones are ignored, so `on_stop` decides when the process ends.
// Install once, before the process starts any other thread: on Linux the signals are blocked
// in the calling thread, so that every thread started later inherits the block and only the
// watching thread receives them.
void watch_stop_signals(std::function<void(int)> on_stop);

// Windows console events are reported as this value plus the event number (CTRL_C_EVENT 0,
// CTRL_BREAK_EVENT 1, CTRL_CLOSE_EVENT 2, ...), so they never look like a signal number.
constexpr int kConsoleEventBase = 1000;

}  // namespace tolvi::platform
