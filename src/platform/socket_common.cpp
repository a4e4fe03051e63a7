// The socket functions that read the same on every backend, written over the backend's
// NativeSocket and AddressLength (socket_system.h).
#include "platform/socket_common.h"

#include <string>

#include "platform/net.h"

namespace tolvi::platform {
namespace {

constexpr char kMappedPrefix[] = "::ffff:";

NativeSocket native(std::intptr_t handle) { return static_cast<NativeSocket>(handle); }

}  // namespace

std::string Socket::peer_name() const {
  sockaddr_storage address{};
  AddressLength length = sizeof address;
  if (::getpeername(native(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return "?";
  }
  char host[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0) {
    return "?";
  }
  std::string name(host);
  if (name.rfind(kMappedPrefix, 0) == 0) name.erase(0, sizeof kMappedPrefix - 1);
  return name;
}

std::uint16_t Socket::local_port() const {
  sockaddr_storage address{};
  AddressLength length = sizeof address;
  if (::getsockname(native(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  }
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  return 0;
}

Socket listen_dual_stack(std::uint16_t port, int backlog, int& error) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  address.sin6_port = htons(port);
  return listen_on(reinterpret_cast<sockaddr*>(&address), sizeof address, AF_INET6, true, backlog,
                   error);
}

Socket listen_loopback(std::uint16_t port, int backlog, int& error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return listen_on(reinterpret_cast<sockaddr*>(&address), sizeof address, AF_INET, false, backlog,
                   error);
}

bool loopback_pair(Socket& first, Socket& second) {
  int error = 0;
  Socket listener = listen_loopback(0, 1, error);
  if (!listener.valid()) return false;
  first = connect_to("127.0.0.1", listener.local_port());
  if (!first.valid()) return false;
  second = accept_connection(listener);
  return second.valid();
}

}  // namespace tolvi::platform
