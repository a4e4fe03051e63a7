#pragma once
#include "platform/installer.h"
#include "settings/settings_store.h"

namespace tolvi {

// Exit codes of "--install" and "--uninstall".
constexpr int kInstallSucceeded = 0;
constexpr int kInstallFailed = 1;
constexpr int kInstallNotElevated = 5;  // not an administrator and "--quiet" given

// Installs the running program as the machine's service, with its settings moved to the
// machine, its firewall opening, its entry in the list of installed programs, its shortcut and
// the tray started at every sign-in; then starts the service. Not elevated: asks for elevation
// unless `quiet`. Returns the exit code.
int install_host(platform::Installer& system, SettingsStore& settings, bool quiet);

// Takes all of that away again, in the reverse sense; per-user settings and logs stay.
int uninstall_host(platform::Installer& system, SettingsStore& settings, bool quiet);

}  // namespace tolvi
