#pragma once
#include <cstdint>
#include <functional>

#include "base/run_mode.h"

namespace tolvi {

// Desktop following: a thread injects input only into the desktop it is attached to, so in the
// agent every thread that injects or captures moves itself to whichever desktop has the input
// (the sign-in and lock screens live on another desktop than the user's programs).

// Minimum time between two checks of one thread, in milliseconds.
inline constexpr std::uint64_t kDesktopCheckIntervalMs = 250;

// Attaches the calling thread to the current input desktop if it is on another one, and logs
// the move.
void follow_input_desktop();

// In Agent run mode, calls follow_input_desktop when this thread has not checked for
// kDesktopCheckIntervalMs (its first call always checks); in every other mode does nothing.
void desktop_check_throttle();

// The same with the run mode, the time and the follow step given (the thread's last check
// time is the same thread-local value).
void desktop_check_throttle(RunMode mode, std::uint64_t now_ms,
                            const std::function<void()>& follow);

}  // namespace tolvi
