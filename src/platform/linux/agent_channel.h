#pragma once
#include <memory>

#include "platform/linux/unique_fd.h"
#include "platform/service.h"

namespace tolvi::platform {

// The environment variable that tells an agent the number of its inherited channel descriptor.
inline constexpr char kAgentChannelVariable[] = "TOLVI_AGENT_CHANNEL";
// The number the service places the agent's end at.
inline constexpr int kAgentChannelFd = 3;

// A channel over one end of a SOCK_SEQPACKET socket pair (message boundaries kept).
std::unique_ptr<AgentChannel> make_socket_channel(UniqueFd socket);

// A connected SOCK_SEQPACKET pair whose ends close on exec; false when it cannot be made.
bool make_channel_pair(UniqueFd& ours, UniqueFd& theirs);

}  // namespace tolvi::platform
