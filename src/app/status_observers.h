#pragma once
#include <memory>

#include "core/host_status_observer.h"

namespace tolvi {

// The host's status for this process's run mode: in the agent, the settings store's "Status"
// value (the client's address, "" when gone, or "error: " and the reason), which the signed-in
// user's tray application polls; in every other mode, the tray's in-memory status store.
std::unique_ptr<HostStatusObserver> make_status_observer();

}  // namespace tolvi
