#pragma once
#include <functional>
#include <string>

namespace tolvi {

// The one channel from the host core to the user interface. In the agent the reports go to the
// settings store's "Status" value (errors prefixed with "error: "), where the signed-in user's
// tray application polls them; in every other run mode they are kept in memory and the
// listener, if any, is told.

// The connected client's peer_name, or "" when its session has ended.
void report_client_status(const std::string& text);
// Why the host cannot serve. Nothing but the tray's poll clears it.
void report_error_status(const std::string& text);

// The in-memory status.
std::string client_status();
std::string error_status();

// Called (on the reporting thread, outside the status lock) after an in-memory change; the
// tray window sets it once, before any server thread starts.
void set_status_listener(std::function<void()> listener);

}  // namespace tolvi
