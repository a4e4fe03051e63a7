#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first: windows.h would otherwise pull in the old winsock.h.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/net.h"
#include "platform/socket_common.h"

namespace tolvi::platform {
namespace {

SOCKET sock_of(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

// Winsock must be started before the first socket call; every entry point that makes a socket
// does it once, so no caller (a test, a tool) can forget.
void ensure_winsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  });
}

// Every socket of the host is made non-inheritable: a program the host starts (as the signed-in
// person, say) must not hold the listener or a session's connection, nor keep the port after
// the host ends. Overlapped, as socket() makes them, so that interrupt() can cancel a wait.
SOCKET new_socket(int family, int type, int protocol) {
  return ::WSASocketW(family, type, protocol, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

NativeSocket new_stream_socket(int family) {
  ensure_winsock();
  return new_socket(family, SOCK_STREAM, IPPROTO_TCP);
}

void close_socket(NativeSocket socket) { ::closesocket(socket); }

int socket_error() { return ::WSAGetLastError(); }

void set_listener_port_use(NativeSocket socket) {
  // Exclusive use: no other program may bind the port beside us (SO_REUSEADDR on Windows would
  // allow exactly that).
  const BOOL exclusive = TRUE;
  ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
}

void Socket::interrupt() {
  if (!valid()) return;
  ::shutdown(sock_of(handle_), SD_BOTH);
  // A blocking Winsock call is overlapped I/O underneath; shutting down alone does not always
  // wake a thread already waiting in recv, cancelling its I/O does.
  ::CancelIoEx(reinterpret_cast<HANDLE>(sock_of(handle_)), nullptr);
}

void Socket::finish_sending() {
  if (valid()) ::shutdown(sock_of(handle_), SD_SEND);
}

bool Socket::set_receive_timeout_ms(unsigned milliseconds) {
  const DWORD value = milliseconds;
  return ::setsockopt(sock_of(handle_), SOL_SOCKET, SO_RCVTIMEO,
                      reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool Socket::set_no_delay(bool on) {
  const BOOL value = on ? TRUE : FALSE;
  return ::setsockopt(sock_of(handle_), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool Socket::set_send_buffer(int bytes) {
  return ::setsockopt(sock_of(handle_), SOL_SOCKET, SO_SNDBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

bool Socket::set_unsent_limit(int bytes) { return set_send_buffer(bytes); }

long Socket::unsent_bytes() const { return -1; }

long Socket::receive_some(void* buffer, std::size_t length) {
  const int chunk = static_cast<int>(std::min<std::size_t>(length, 1u << 30));
  const int n = ::recv(sock_of(handle_), static_cast<char*>(buffer), chunk, 0);
  if (n != SOCKET_ERROR) return n;
  return ::WSAGetLastError() == WSAETIMEDOUT ? kTimedOut : -1;
}

long Socket::send_some(const SendPart* parts, std::size_t count) {
  WSABUF buffers[kMaxSendParts];
  if (count > kMaxSendParts) count = kMaxSendParts;
  for (std::size_t i = 0; i < count; ++i) {
    buffers[i].buf = const_cast<char*>(static_cast<const char*>(parts[i].data));
    buffers[i].len = static_cast<ULONG>(std::min<std::size_t>(parts[i].length, 1u << 30));
  }
  DWORD sent = 0;
  if (::WSASend(sock_of(handle_), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) !=
      0) {
    return -1;
  }
  return static_cast<long>(sent);
}

void net_startup() { ensure_winsock(); }

int last_net_error() { return ::WSAGetLastError(); }

bool is_address_in_use(int error) { return error == WSAEADDRINUSE; }

Socket accept_connection(Socket& listener) {
  const SOCKET s = ::accept(sock_of(listener.handle()), nullptr, nullptr);
  if (s == INVALID_SOCKET) return Socket();
  // An accepted socket takes the listener's attributes; cleared again in case a layered
  // provider did not pass them on.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return Socket(static_cast<std::intptr_t>(s));
}

Socket connect_to(const std::string& host, std::uint16_t port) {
  ensure_winsock();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return Socket();
  Socket result;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const SOCKET s = new_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    Socket candidate(static_cast<std::intptr_t>(s));
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
      result = std::move(candidate);
      break;
    }
  }
  ::freeaddrinfo(found);
  return result;
}

std::string computer_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!::GetComputerNameA(name, &size)) return std::string();
  return std::string(name, size);
}

}  // namespace tolvi::platform
