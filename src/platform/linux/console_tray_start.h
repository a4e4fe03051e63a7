#pragma once
#include <string>

namespace tolvi::platform {

// Starts `program` (a path as the installed system names it; the install root is added) with no
// option, that is the tray application, for the person at the console: as that account (the
// console session's user, else the account the installation was run for, see
// FileSettingsBackend::elevating_user), in a session of its own, on the console's X display
// with that account's HOME, Xauthority, runtime folder and session bus. Does not wait for it.
// False, with a log line saying why, when there is nobody to start it for.
bool start_tray_for_console_user(const std::string& program);

}  // namespace tolvi::platform
