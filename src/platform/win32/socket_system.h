#pragma once
// The system's socket declarations, and the two types the shared socket code
// (platform/socket_common.cpp) is written in.
#include <winsock2.h>
#include <ws2tcpip.h>

namespace tolvi::platform {
using NativeSocket = SOCKET;
using AddressLength = int;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
}  // namespace tolvi::platform
