#pragma once
#include <functional>
#include <string>

#include "tray/tray_status.h"

namespace tolvi {

// The status the tray shows, kept in memory; the listener, if any, is told of each change.
// The host core reaches it through its status observer (app/status_observers.h); in the agent
// the observer writes the settings store's "Status" value instead, which the signed-in user's
// tray application polls.

// The connected client's peer_name, or "" when its session has ended.
void report_client_status(const std::string& text);
// Why the host cannot serve; "" once it can again (it listens after all).
void report_error_status(const std::string& text);

// The in-memory status.
std::string client_status();
std::string error_status();

// Both strings, copied together under the status lock.
StatusSnapshot status_snapshot();
// Replaces both strings (the tray's poll of the agent's status); true when either changed.
bool store_status(const StatusSnapshot& status);

// Called (on the reporting thread, outside the status lock) after an in-memory change; the
// tray window sets it once, before any server thread starts.
void set_status_listener(std::function<void()> listener);

}  // namespace tolvi
