// The socket functions that read the same on every backend, written over the backend's
// NativeSocket and AddressLength (socket_system.h).
#include "platform/socket_common.h"

#include <string>

#include "platform/net.h"

namespace tolvi::platform {
namespace {

constexpr char kMappedPrefix[] = "::ffff:";

NativeSocket native(std::intptr_t handle) { return static_cast<NativeSocket>(handle); }

// A listening socket bound to `address` (IPv6 sockets accepting IPv4 too when `dual_stack`);
// invalid, with the system's error code in `error`, on failure.
Socket listen_on(const sockaddr* address, AddressLength length, int family, bool dual_stack,
                 int backlog, int& error) {
  const NativeSocket s = new_stream_socket(family);
  if (s == kNoSocket) {
    error = socket_error();
    return Socket();
  }
  Socket socket(static_cast<std::intptr_t>(s));
  set_listener_port_use(s);
  if (dual_stack) {
    const int off = 0;
    ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
  }
  if (::bind(s, address, length) != 0 ||
      ::listen(s, backlog == kMaxListenBacklog ? SOMAXCONN : backlog) != 0) {
    error = socket_error();
    return Socket();
  }
  error = 0;
  return socket;
}

}  // namespace

Socket::~Socket() {
  if (valid()) close_socket(native(handle_));
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (valid()) close_socket(native(handle_));
    handle_ = other.release();
  }
  return *this;
}

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
