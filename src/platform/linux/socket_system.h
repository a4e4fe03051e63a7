#pragma once
// The system's socket declarations, and the two types the shared socket code
// (platform/socket_common.cpp) is written in.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tolvi::platform {
using NativeSocket = int;
using AddressLength = socklen_t;
constexpr NativeSocket kNoSocket = -1;
}  // namespace tolvi::platform
