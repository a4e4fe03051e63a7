#pragma once
// Between the shared socket code and the backend's: what both sides of platform/net.h need.
#include "platform/net.h"
#include "socket_system.h"  // the backend's: NativeSocket, AddressLength

namespace tolvi::platform {

// A listening socket bound to `address` (IPv6 sockets accepting IPv4 too when `dual_stack`);
// invalid, with the system's error code in `error`, on failure. Written by each backend.
Socket listen_on(const sockaddr* address, AddressLength length, int family, bool dual_stack,
                 int backlog, int& error);

}  // namespace tolvi::platform
