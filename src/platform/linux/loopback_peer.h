#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/net.h"

namespace tolvi::platform {

// The account whose program holds the other end of a TCP connection this process accepted on
// 127.0.0.1. False when no program holds it any more (closed, or left waiting out its
// TIME-WAIT, where the kernel keeps no owner) or the kernel cannot be asked: such a peer is
// nobody's to trust.
bool loopback_peer_uid(const Socket& accepted, uid_t& uid);

// True when the other end of `accepted` belongs to one of `accounts`; otherwise `peer` names
// it for the log ("uid 65534", "a closed connection").
bool loopback_peer_is_one_of(const Socket& accepted, const std::vector<uid_t>& accounts,
                             std::string& peer);

}  // namespace tolvi::platform
