#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net.h"
#include "platform/socket_common.h"

namespace tolvi::platform {
namespace {

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

NativeSocket new_stream_socket(int family) {
  return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

void close_socket(NativeSocket socket) { ::close(socket); }

int socket_error() { return errno; }

void set_listener_port_use(NativeSocket socket) {
  // Connections of an earlier run in TIME-WAIT must not keep a restarted host off its port.
  // (Linux still refuses a second listener on the port: this is not shared use.)
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void Socket::interrupt() {
  if (valid()) ::shutdown(fd_of(handle_), SHUT_RDWR);
}

void Socket::finish_sending() {
  if (valid()) ::shutdown(fd_of(handle_), SHUT_WR);
}

bool Socket::set_receive_timeout_ms(unsigned milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  return ::setsockopt(fd_of(handle_), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool Socket::set_no_delay(bool on) {
  const int value = on ? 1 : 0;
  return ::setsockopt(fd_of(handle_), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0;
}

bool Socket::set_send_buffer(int bytes) {
  return ::setsockopt(fd_of(handle_), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

bool Socket::set_unsent_limit(int bytes) {
  return ::setsockopt(fd_of(handle_), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) == 0;
}

long Socket::unsent_bytes() const {
  int bytes = 0;
  if (::ioctl(fd_of(handle_), SIOCOUTQNSD, &bytes) != 0) return -1;
  return bytes;
}

long Socket::receive_some(void* buffer, std::size_t length) {
  while (true) {
    const ssize_t n = ::recv(fd_of(handle_), buffer, length, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kTimedOut;
    if (errno != EINTR) return -1;
  }
}

long Socket::send_some(const SendPart* parts, std::size_t count) {
  iovec vectors[kMaxSendParts];
  if (count > kMaxSendParts) count = kMaxSendParts;
  for (std::size_t i = 0; i < count; ++i) {
    vectors[i].iov_base = const_cast<void*>(parts[i].data);
    vectors[i].iov_len = parts[i].length;
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = count;
  while (true) {
    const ssize_t n = ::sendmsg(fd_of(handle_), &message, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

void net_startup() {}

int last_net_error() { return errno; }

bool is_address_in_use(int error) { return error == EADDRINUSE; }

Socket accept_connection(Socket& listener) {
  while (true) {
    const int fd = ::accept4(fd_of(listener.handle()), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Socket(fd);
    if (errno != EINTR) return Socket();
  }
}

Socket connect_to(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return Socket();
  Socket result;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    Socket candidate(fd);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      result = std::move(candidate);
      break;
    }
  }
  ::freeaddrinfo(found);
  return result;
}

std::string computer_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return std::string(name);
}

}  // namespace tolvi::platform
