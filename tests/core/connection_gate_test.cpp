#include "core/connection_gate.h"

#include <gtest/gtest.h>

namespace tolvi {
namespace {

using std::chrono::seconds;
using Clock = ConnectionGate::Clock;
using Verdict = ConnectionGate::Verdict;

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

TEST(ConnectionGate, BoundsHandshakesInProgress) {
  ConnectionGate::Limits limits;
  limits.max_handshakes = 2;
  ConnectionGate gate(limits);
  EXPECT_EQ(gate.admit("a", t0), Verdict::Admit);
  EXPECT_EQ(gate.admit("b", t0), Verdict::Admit);
  EXPECT_EQ(gate.admit("c", t0), Verdict::TooManyHandshakes);
  EXPECT_EQ(gate.admit("a", t0), Verdict::TooManyHandshakes);
  EXPECT_EQ(gate.refused_busy_total(), 2u);
  gate.handshake_finished();
  EXPECT_EQ(gate.admit("c", t0), Verdict::Admit);
  EXPECT_EQ(gate.handshakes_in_progress(), 2u);
}

TEST(ConnectionGate, BusyRefusalsLogAtMostOncePerSecond) {
  ConnectionGate::Limits limits;
  limits.max_handshakes = 0;
  ConnectionGate gate(limits);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 10; ++i) gate.admit("a", t0 + std::chrono::milliseconds(100 * i));
  gate.admit("a", t0 + seconds(1));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("refused 1 connections: 0 handshakes in progress"), std::string::npos);
  EXPECT_NE(log.find("refused 10 connections"), std::string::npos);  // 9 held back + 1
  EXPECT_EQ(gate.refused_busy_total(), 11u);
}

TEST(ConnectionGate, BlocksAnAddressAfterFiveWrongProofsInAMinute) {
  ConnectionGate gate;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 4; ++i) gate.proof_failed("10.0.0.9", t0 + seconds(10 * i));
  EXPECT_EQ(gate.admit("10.0.0.9", t0 + seconds(40)), Verdict::Admit);
  gate.handshake_finished();
  gate.proof_failed("10.0.0.9", t0 + seconds(50));  // fifth within 60 s
  EXPECT_EQ(gate.admit("10.0.0.9", t0 + seconds(51)), Verdict::AddressBlocked);
  EXPECT_EQ(gate.admit("10.0.0.9", t0 + seconds(80)), Verdict::AddressBlocked);
  EXPECT_EQ(gate.admit("10.0.0.8", t0 + seconds(80)), Verdict::Admit);  // others unaffected
  gate.handshake_finished();
  EXPECT_EQ(gate.admit("10.0.0.9", t0 + seconds(110)), Verdict::Admit);  // 60 s later
  gate.handshake_finished();
  const std::string log = testing::internal::GetCapturedStderr();
  const std::string line = "10.0.0.9: too many failed passwords, connections refused for 60 s";
  const std::size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find(line, first + 1), std::string::npos);  // once per address per minute
  EXPECT_EQ(gate.refused_blocked_total(), 2u);
}

TEST(ConnectionGate, FailuresSpreadOverMoreThanAMinuteDoNotBlock) {
  ConnectionGate gate;
  for (int i = 0; i < 10; ++i) gate.proof_failed("10.0.0.9", t0 + seconds(16 * i));
  EXPECT_EQ(gate.admit("10.0.0.9", t0 + seconds(161)), Verdict::Admit);
}

TEST(ConnectionGate, RemembersABoundedNumberOfAddresses) {
  ConnectionGate::Limits limits;
  limits.max_tracked_addresses = 3;
  ConnectionGate gate(limits);
  for (int i = 0; i < 5; ++i) gate.proof_failed("victim", t0);  // blocked
  for (int i = 0; i < 2; ++i) gate.proof_failed("other" + std::to_string(i), t0 - seconds(1));
  gate.proof_failed("newcomer", t0);  // forgets the oldest, not the blocked one
  EXPECT_EQ(gate.admit("victim", t0 + seconds(1)), Verdict::AddressBlocked);
}

}  // namespace
}  // namespace tolvi
