#include "platform/linux/loopback_peer.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace tolvi::platform {
namespace {

constexpr uid_t kNobody = 65534;

// A listener on 127.0.0.1 and one connection to it: `accepted` is the listener's end.
struct LoopbackConnection {
  Socket listener;
  Socket client;
  Socket accepted;
};

// Connects from a socket created as `creator` (its owner in the kernel's socket table): the
// file-system uid is this thread's alone and decides who owns a new socket.
LoopbackConnection connect_as(uid_t creator) {
  LoopbackConnection c;
  int error = 0;
  c.listener = listen_loopback(0, 4, error);
  const uid_t before = static_cast<uid_t>(setfsuid(creator));
  c.client = connect_to("127.0.0.1", c.listener.local_port());
  setfsuid(before);
  c.accepted = accept_connection(c.listener);
  return c;
}

TEST(LoopbackPeer, AnswersTheAccountOfTheConnectingProgram) {
  LoopbackConnection own = connect_as(geteuid());
  ASSERT_TRUE(own.accepted.valid());
  uid_t uid = kNobody + 1;
  ASSERT_TRUE(loopback_peer_uid(own.accepted, uid));
  EXPECT_EQ(uid, geteuid());
  if (geteuid() != 0) GTEST_SKIP() << "a socket of another account needs root";
  LoopbackConnection other = connect_as(kNobody);
  ASSERT_TRUE(other.accepted.valid());
  ASSERT_TRUE(loopback_peer_uid(other.accepted, uid));
  EXPECT_EQ(uid, kNobody);
}

TEST(LoopbackPeer, OnlyTheListedAccountsAreAllowed) {
  const uid_t self = geteuid();
  struct Case {
    std::vector<uid_t> accounts;
    bool allowed;
  };
  const Case cases[] = {
      {{self}, true},
      {{self + 1, self}, true},
      {{self + 1}, false},
      {{}, false},
  };
  LoopbackConnection c = connect_as(self);
  ASSERT_TRUE(c.accepted.valid());
  for (const Case& k : cases) {
    std::string peer;
    EXPECT_EQ(loopback_peer_is_one_of(c.accepted, k.accounts, peer), k.allowed);
    EXPECT_EQ(peer, k.allowed ? "" : "uid " + std::to_string(self));
  }
}

TEST(LoopbackPeer, APeerThatHasClosedIsNobodys) {
  LoopbackConnection c = connect_as(geteuid());
  ASSERT_TRUE(c.accepted.valid());
  // Its program is gone: the kernel still has the socket (closing, then TIME-WAIT), owned by
  // no one, which must not pass for root.
  c.client = Socket();
  uid_t uid = 0;
  EXPECT_FALSE(loopback_peer_uid(c.accepted, uid));
  std::string peer;
  EXPECT_FALSE(loopback_peer_is_one_of(c.accepted, {0, geteuid()}, peer));
  EXPECT_FALSE(peer.empty());
}

}  // namespace
}  // namespace tolvi::platform
