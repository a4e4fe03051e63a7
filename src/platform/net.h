#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvi::platform {

// Stream sockets for the host and its client: POSIX sockets on Linux, Winsock 2 on Windows.
// Nothing here logs; failures are results and the caller decides what to say.

// One piece of a gathered write.
struct SendPart {
  const void* data;
  std::size_t length;
};

// The most parts one gathered send takes.
constexpr std::size_t kMaxSendParts = 16;

// An owned TCP socket. Destruction closes it.
class Socket {
 public:
  Socket() = default;
  explicit Socket(std::intptr_t handle) : handle_(handle) {}
  ~Socket();
  Socket(Socket&& other) noexcept : handle_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return handle_ != kInvalid; }
  std::intptr_t handle() const { return handle_; }
  std::intptr_t release() {
    const std::intptr_t h = handle_;
    handle_ = kInvalid;
    return h;
  }

  // Makes blocked and later reads and writes on this socket fail (or see the end of the
  // stream) at once, from any thread. The handle itself stays owned until destruction, so a
  // thread still using it can never reach a socket that reused the number.
  void interrupt();
  // Half-close: the peer reads the end of the stream; reading here goes on.
  void finish_sending();

  // Socket options; each returns false when the system refused it.
  bool set_receive_timeout_ms(unsigned milliseconds);  // 0: wait for ever
  bool set_no_delay(bool on);
  bool set_send_buffer(int bytes);
  // Keeps the written data that the system has not yet put on the wire near `bytes`, so a
  // message written after a long stream of others waits behind little: TCP_NOTSENT_LOWAT on
  // Linux; Windows has no such option and bounds its send buffer to `bytes` instead.
  bool set_unsent_limit(int bytes);
  // Written bytes the system has not yet put on the wire (SIOCOUTQNSD on Linux), so a writer
  // can tell how much more it may write before a write waits for the unsent limit; -1 where
  // the system does not say (Windows).
  long unsent_bytes() const;

  // One read of at most `length` bytes: the count read, 0 when the peer closed the stream,
  // kTimedOut when the receive timeout expired, -1 on any other error.
  static constexpr long kTimedOut = -2;
  long receive_some(void* buffer, std::size_t length);
  // One write (which may be partial) of the parts in order: the count written, or -1. Never
  // raises a signal when the peer has gone.
  long send_some(const SendPart* parts, std::size_t count);
  // Writes every byte of the parts, calling the system as often as needed; false when a call
  // wrote nothing or failed.
  bool send_all(const SendPart* parts, std::size_t count);

  // The peer's numeric address (no name lookup); an IPv4 address mapped into IPv6 is given in
  // its dotted form. "?" when the address cannot be read.
  std::string peer_name() const;
  // The local port the socket is bound to; 0 when unknown.
  std::uint16_t local_port() const;

 private:
  static constexpr std::intptr_t kInvalid = -1;
  std::intptr_t handle_ = kInvalid;
};

// Once per process before any other call here (Winsock start-up on Windows; nothing on Linux).
void net_startup();

// The error number of the last failed socket call of this thread (errno / WSAGetLastError).
int last_net_error();

// Whether a listen failed because another socket holds the address (EADDRINUSE,
// WSAEADDRINUSE).
bool is_address_in_use(int error);

// Asks listen_dual_stack and listen_loopback for the system's largest listen backlog
// (SOMAXCONN), so a burst of connects waits in the queue instead of being dropped.
constexpr int kMaxListenBacklog = -1;

// A listening TCP socket on the IPv6 wildcard address with the IPv6-only option off, so it
// accepts IPv4 clients too. port 0 picks a free port (see local_port). On failure the socket is
// invalid and `error` holds the socket layer's error code.
Socket listen_dual_stack(std::uint16_t port, int backlog, int& error);
// The same on the IPv4 loopback address only; for tests and benchmarks.
Socket listen_loopback(std::uint16_t port, int backlog, int& error);

// Blocks for the next connection; an invalid socket when accept failed.
Socket accept_connection(Socket& listener);

// Connects to host (a name or a numeric address) and port, trying each address the resolver
// gives. An invalid socket on failure.
Socket connect_to(const std::string& host, std::uint16_t port);

// Two ends of one loopback TCP connection (tests and fuzzing); false on failure.
bool loopback_pair(Socket& first, Socket& second);

// The computer's name in the system's narrow encoding; empty when it cannot be read.
std::string computer_name();

}  // namespace tolvi::platform
