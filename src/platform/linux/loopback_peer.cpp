// Who is at the other end of a loopback TCP connection. SO_PEERCRED carries no credentials
// on TCP sockets (it answers uid -1), so the kernel's socket table is asked over sock_diag for
// the connecting socket, the one whose local end is our peer and whose remote end is us.
#include "loopback_peer.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace tolvi::platform {

namespace {

constexpr unsigned kAllTcpStates = ~0u;
constexpr std::size_t kReplyBytes = 8192;

bool socket_address(const Socket& socket, bool peer, sockaddr_in& out) {
  socklen_t length = sizeof out;
  auto* address = reinterpret_cast<sockaddr*>(&out);
  const int fd = static_cast<int>(socket.handle());
  const int result =
      peer ? ::getpeername(fd, address, &length) : ::getsockname(fd, address, &length);
  return result == 0 && out.sin_family == AF_INET;
}

}  // namespace

bool loopback_peer_uid(const Socket& accepted, uid_t& uid) {
  sockaddr_in local{}, remote{};
  if (!accepted.valid() || !socket_address(accepted, false, local) ||
      !socket_address(accepted, true, remote)) {
    return false;
  }
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  query.request.sdiag_family = AF_INET;
  query.request.sdiag_protocol = IPPROTO_TCP;
  query.request.idiag_states = kAllTcpStates;
  // The socket to find, seen from its own side: its local end is our peer.
  query.request.id.idiag_sport = remote.sin_port;
  query.request.id.idiag_dport = local.sin_port;
  query.request.id.idiag_src[0] = remote.sin_addr.s_addr;
  query.request.id.idiag_dst[0] = local.sin_addr.s_addr;
  query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  // A netlink socket, owned like any other.
  const Socket diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!diag.valid()) return false;
  const int fd = static_cast<int>(diag.handle());
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
      static_cast<ssize_t>(sizeof query)) {
    return false;
  }
  alignas(nlmsghdr) unsigned char reply[kReplyBytes];
  ssize_t got = 0;
  do {
    got = ::recv(fd, reply, sizeof reply, 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  auto left = static_cast<std::uint32_t>(got);
  for (auto* message = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(message, left);
       message = NLMSG_NEXT(message, left)) {
    if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      return false;  // NLMSG_ERROR: no such socket
    }
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
    // A socket without an inode has left its program (closed, TIME-WAIT): the kernel reports
    // uid 0 for some of those, which must not read as root.
    if (found->idiag_inode == 0 || found->idiag_state == TCP_TIME_WAIT) return false;
    uid = found->idiag_uid;
    return true;
  }
  return false;
}

bool loopback_peer_is_one_of(const Socket& accepted, const std::vector<uid_t>& accounts,
                             std::string& peer) {
  uid_t uid = 0;
  if (!loopback_peer_uid(accepted, uid)) {
    peer = "a connection no program holds";
    return false;
  }
  if (std::find(accounts.begin(), accounts.end(), uid) != accounts.end()) return true;
  peer = "uid " + std::to_string(uid);
  return false;
}

}  // namespace tolvi::platform
