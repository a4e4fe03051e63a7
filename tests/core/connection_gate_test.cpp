#include "core/connection_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace tolvi {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = ConnectionGate::Clock;
using Ticket = ConnectionGate::Ticket;

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

// One wrong (or right) proof from `address` at `now`, start to finish.
Clock::duration prove(ConnectionGate& gate, const std::string& address, bool right,
                      Clock::time_point now) {
  auto ticket = gate.admit(address, now);
  EXPECT_TRUE(gate.wait_for_turn(*ticket));
  const Clock::duration hold = gate.proof_checked(*ticket, right, now);
  gate.finished(*ticket);
  return hold;
}

TEST(ConnectionGate, DelayDoublesWithEachFailureUpToTheMaximum) {
  struct Case {
    int failures;
    milliseconds delay;
  };
  const Case cases[] = {
      {0, milliseconds(0)},    {1, milliseconds(250)},   {2, milliseconds(500)},
      {3, milliseconds(1000)}, {4, milliseconds(2000)},  {5, milliseconds(4000)},
      {6, milliseconds(8000)}, {7, milliseconds(10000)}, {12, milliseconds(10000)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failures);
    ConnectionGate gate;
    testing::internal::CaptureStderr();
    Clock::duration last_hold{};
    for (int i = 0; i < c.failures; ++i) last_hold = prove(gate, "10.0.0.9", false, t0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(gate.delay_for("10.0.0.9", t0), c.delay);
    // Each proof was held for the delay of the failures before it.
    if (c.failures >= 2) {
      EXPECT_LE(last_hold, c.delay);
    }
    EXPECT_EQ(gate.delay_for("10.0.0.8", t0), Clock::duration::zero());  // others unaffected
  }
}

TEST(ConnectionGate, RightProofIsHeldLikeAWrongOneThenForgetsTheFailures) {
  ConnectionGate gate;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 6; ++i) prove(gate, "10.0.0.9", false, t0 + seconds(i));
  // The right password is accepted after the same hold a wrong one would get.
  EXPECT_EQ(prove(gate, "10.0.0.9", true, t0 + seconds(7)), milliseconds(8000));
  EXPECT_EQ(gate.delay_for("10.0.0.9", t0 + seconds(7)), Clock::duration::zero());
  // A quiet minute forgets them too.
  for (int i = 0; i < 3; ++i) prove(gate, "10.0.0.7", false, t0);
  EXPECT_EQ(gate.delay_for("10.0.0.7", t0 + seconds(59)), milliseconds(1000));
  EXPECT_EQ(gate.delay_for("10.0.0.7", t0 + seconds(60)), Clock::duration::zero());
  const std::string log = testing::internal::GetCapturedStderr();
  // One line per address per minute about the delay.
  const std::string line = "10.0.0.9: 1 failed passwords, answers delayed 250 ms";
  ASSERT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find("10.0.0.9: 2 failed"), std::string::npos) << log;
}

TEST(ConnectionGate, FailuresAcrossAddressesAddASharedDelay) {
  ConnectionGate gate;
  testing::internal::CaptureStderr();
  // One wrong proof each from 30 addresses: at the threshold, no shared delay yet.
  for (int i = 0; i < 30; ++i) prove(gate, "10.1.0." + std::to_string(i), false, t0);
  EXPECT_EQ(gate.delay_for("192.0.2.1", t0), Clock::duration::zero());
  prove(gate, "10.1.1.0", false, t0);
  EXPECT_EQ(gate.delay_for("192.0.2.1", t0), milliseconds(250));
  for (int i = 1; i < 40; ++i) prove(gate, "10.1.1." + std::to_string(i), false, t0);
  EXPECT_EQ(gate.delay_for("192.0.2.1", t0), milliseconds(10000));
  EXPECT_EQ(gate.delay_for("192.0.2.1", t0 + seconds(60)), Clock::duration::zero());
  testing::internal::GetCapturedStderr();
}

TEST(ConnectionGate, ConcurrentWrongProofsAreEachCountedAndCheckedOneAtATime) {
  ConnectionGate::Limits limits;
  limits.max_handshakes_per_address = 64;
  ConnectionGate gate(limits);
  std::vector<std::shared_ptr<Ticket>> tickets;
  for (int i = 0; i < 64; ++i) tickets.push_back(gate.admit("10.0.0.9", t0));
  std::atomic<int> holding{0};
  std::atomic<int> most_holding{0};
  std::vector<Clock::duration> holds(64);
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int i = 0; i < 64; ++i) {
    threads.emplace_back([&, i] {
      ASSERT_TRUE(gate.wait_for_turn(*tickets[i]));
      const int now_holding = holding.fetch_add(1) + 1;
      int seen = most_holding.load();
      while (now_holding > seen && !most_holding.compare_exchange_weak(seen, now_holding)) {
      }
      holds[i] = gate.proof_checked(*tickets[i], false, t0);
      holding.fetch_sub(1);
      gate.finished(*tickets[i]);
    });
  }
  for (auto& t : threads) t.join();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(gate.failures_recorded(), 64u);
  EXPECT_EQ(most_holding.load(), 1);
  // Every failure raised the delay of the proofs after it.
  std::sort(holds.begin(), holds.end());
  EXPECT_EQ(holds[0], Clock::duration::zero());
  EXPECT_EQ(holds[1], milliseconds(250));
  EXPECT_EQ(holds[63], milliseconds(10000) + milliseconds(10000));  // own and shared maximum
}

TEST(ConnectionGate, FullCapClosesItsOldestHandshakeNotTheNewcomer) {
  ConnectionGate::Limits limits;
  limits.max_handshakes = 4;
  limits.max_handshakes_per_address = 2;
  ConnectionGate gate(limits);
  testing::internal::CaptureStderr();
  std::vector<int> closed;
  auto admit = [&](const std::string& address, int id, int at) {
    auto t = gate.admit(address, t0 + seconds(at));
    t->attach([&closed, id] { closed.push_back(id); });
    return t;
  };
  auto a1 = admit("10.0.0.1", 1, 0);
  auto a2 = admit("10.0.0.1", 2, 1);
  auto b3 = admit("10.0.0.2", 3, 2);
  auto a4 = admit("10.0.0.1", 4, 3);  // the address's cap: its oldest goes
  EXPECT_EQ(closed, std::vector<int>{1});
  auto c5 = admit("10.0.0.3", 5, 4);
  auto d6 = admit("10.0.0.4", 6, 5);  // the global cap: the oldest of all goes
  EXPECT_EQ(closed, (std::vector<int>{1, 2}));
  EXPECT_TRUE(a1->ended_by_gate());
  EXPECT_FALSE(b3->ended_by_gate());
  EXPECT_EQ(gate.handshakes_in_progress(), 4u);
  EXPECT_EQ(gate.closed_to_make_room(), 2u);

  // A handshake whose proof is checked has left the caps and is never closed for room.
  ASSERT_TRUE(gate.wait_for_turn(*b3));
  gate.proof_checked(*b3, true, t0 + seconds(6));
  auto e7 = admit("10.0.0.5", 7, 7);  // fits in the place b3 left
  EXPECT_EQ(closed.size(), 2u);
  auto f8 = admit("10.0.0.6", 8, 8);
  EXPECT_FALSE(b3->ended_by_gate());
  EXPECT_TRUE(a4->ended_by_gate());
  gate.finished(*b3);

  // A ticket ended before its connection was attached closes it on attach.
  bool late = false;
  a1->attach([&late] { late = true; });
  EXPECT_TRUE(late);
  EXPECT_FALSE(gate.wait_for_turn(*a1));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("10.0.0.1: handshake closed to make room for a newer one"), std::string::npos);
}

TEST(ConnectionGate, Ipv6AddressesShareTheirSlash64) {
  struct Case {
    const char* address;
    const char* group;
  };
  const Case cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"2001:db8:1:2::5", "2001:db8:1:2::/64"},
      {"2001:db8:1:2:ffff:1:2:3", "2001:db8:1:2::/64"},
      {"2001:DB8:0001:0002::9", "2001:db8:1:2::/64"},
      {"::1", "0:0:0:0::/64"},
      {"fe80::1%eth0", "fe80:0:0:0::/64"},
      {"64:ff9b::192.0.2.1", "64:ff9b:0:0::/64"},
      {"not:an:address::x", "not:an:address::x"},
      {"1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8:9"},
  };
  for (const Case& c : cases) EXPECT_EQ(ConnectionGate::address_group(c.address), c.group);

  ConnectionGate::Limits limits;
  limits.max_handshakes_per_address = 1;
  ConnectionGate gate(limits);
  testing::internal::CaptureStderr();
  auto first = gate.admit("2001:db8:1:2::5", t0);
  auto other_net = gate.admit("2001:db8:1:3::5", t0);
  auto same_net = gate.admit("2001:db8:1:2::6", t0);
  EXPECT_TRUE(first->ended_by_gate());
  EXPECT_FALSE(other_net->ended_by_gate());
  // Failures count for the whole /64 too.
  prove(gate, "2001:db8:1:2::7", false, t0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(gate.delay_for("2001:db8:1:2::8", t0), milliseconds(250));
}

TEST(ConnectionGate, PreAuthLinesAreLimitedPerAddressPerMinuteWithACountOfTheRest) {
  ConnectionGate gate;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 12; ++i) gate.log_line("10.0.0.9", "10.0.0.9: line " + std::to_string(i), t0);
  gate.log_line("10.0.0.8", "10.0.0.8: other", t0 + seconds(1));
  gate.log_line("10.0.0.9", "10.0.0.9: later", t0 + seconds(59));
  gate.log_line("10.0.0.9", "10.0.0.9: next minute", t0 + seconds(60));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("10.0.0.9: line 4"), std::string::npos);
  EXPECT_EQ(log.find("10.0.0.9: line 5"), std::string::npos);
  EXPECT_EQ(log.find("10.0.0.9: later"), std::string::npos);
  EXPECT_NE(log.find("10.0.0.8: other"), std::string::npos);
  const std::size_t count =
      log.find("10.0.0.9: 8 more lines about unauthenticated connections left out");
  ASSERT_NE(count, std::string::npos) << log;
  EXPECT_LT(count, log.find("10.0.0.9: next minute"));
}

}  // namespace
}  // namespace tolvi
