// The channel between the service and an agent that runs as the signed-in person: a
// SOCK_SEQPACKET socket pair, the agent's end placed at a known descriptor number that the
// environment names.
#include "platform/linux/agent_channel.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/log.h"

namespace tolvi::platform {
namespace {

class SocketChannel : public AgentChannel {
 public:
  explicit SocketChannel(UniqueFd socket) : socket_(std::move(socket)) {}

  bool send(std::span<const std::uint8_t> message) override {
    if (message.empty() || message.size() > kMaxChannelMessage) return false;
    ssize_t sent = 0;
    while ((sent = ::send(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL)) < 0 &&
           errno == EINTR) {
    }
    return sent == static_cast<ssize_t>(message.size());
  }

  bool receive(std::vector<std::uint8_t>& message) override {
    message.assign(kMaxChannelMessage, 0);
    ssize_t got = 0;
    while ((got = recv(socket_.get(), message.data(), message.size(), 0)) < 0 &&
           errno == EINTR) {
    }
    if (got <= 0) {
      message.clear();
      return false;  // the other end closed (0) or the socket failed
    }
    message.resize(static_cast<std::size_t>(got));
    return true;
  }

 private:
  UniqueFd socket_;
};

}  // namespace

std::unique_ptr<AgentChannel> make_socket_channel(UniqueFd socket) {
  return std::make_unique<SocketChannel>(std::move(socket));
}

bool make_channel_pair(UniqueFd& ours, UniqueFd& theirs) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return false;
  ours.reset(ends[0]);
  theirs.reset(ends[1]);
  return true;
}

std::unique_ptr<AgentChannel> take_service_channel() {
  const char* named = std::getenv(kAgentChannelVariable);
  if (!named) return nullptr;
  const std::string number = named;
  unsetenv(kAgentChannelVariable);  // nothing this process starts is told of it
  if (number != std::to_string(kAgentChannelFd)) {
    log_message("agent: ignoring a channel at descriptor '%s'", number.c_str());
    return nullptr;
  }
  // Only a socket counts: a descriptor 3 that happens to be open is not the service's.
  struct stat info {};
  int type = 0;
  socklen_t size = sizeof type;
  if (fstat(kAgentChannelFd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
      getsockopt(kAgentChannelFd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
      type != SOCK_SEQPACKET) {
    log_message("agent: descriptor %d is not the service's channel", kAgentChannelFd);
    return nullptr;
  }
  UniqueFd socket(kAgentChannelFd);
  fcntl(socket.get(), F_SETFD, FD_CLOEXEC);
  return make_socket_channel(std::move(socket));
}

}  // namespace tolvi::platform
