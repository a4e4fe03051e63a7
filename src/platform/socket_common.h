#pragma once
// Between the shared socket code and the backend's: what both sides of platform/net.h need.
#include "platform/net.h"
#include "socket_system.h"  // the backend's: NativeSocket, AddressLength

namespace tolvi::platform {

// The few calls that differ between the backends; the rest of Socket (closing, moving,
// listening, names) is written once, in socket_common.cpp.

// A new TCP stream socket of `family`, not inherited by programs this process starts; invalid
// (kNoSocket) with socket_error() set on failure.
NativeSocket new_stream_socket(int family);
void close_socket(NativeSocket socket);
// The error code of the last failed socket call on this thread.
int socket_error();
// How a listener shares its port: a restarted host must not be kept off its port by
// connections of an earlier run, and no other program may take it beside us.
void set_listener_port_use(NativeSocket socket);

}  // namespace tolvi::platform
