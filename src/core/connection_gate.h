#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "core/limits.h"

namespace tolvi {

// Decides at accept time whether a new connection may start a handshake. It bounds the
// handshakes in progress (so a flood of silent connections cannot take every thread and
// socket) and blocks an address for a while after repeated wrong passwords. Sessions that
// are serving are never affected. Times come from the caller, so tests need no real clock.
class ConnectionGate {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Verdict { Admit, TooManyHandshakes, AddressBlocked };

  struct Limits {
    std::size_t max_handshakes = kMaxConcurrentHandshakes;
    int max_failed_proofs = kMaxFailedProofs;
    Clock::duration failed_proof_window = kFailedProofWindow;
    Clock::duration block_time = kAddressBlockTime;
    Clock::duration refusal_log_interval = kRefusalLogInterval;
    std::size_t max_tracked_addresses = kMaxTrackedAddresses;
  };

  ConnectionGate() = default;
  explicit ConnectionGate(Limits limits) : limits_(limits) {}

  // On Admit the connection holds a handshake slot until handshake_finished. Refusals are
  // counted and logged (at most one line per refusal_log_interval for the busy case, one per
  // address per block_time for a blocked address).
  Verdict admit(const std::string& address, Clock::time_point now);
  void handshake_finished();
  // A wrong password proof from `address`.
  void proof_failed(const std::string& address, Clock::time_point now);

  std::size_t handshakes_in_progress();
  std::uint64_t refused_busy_total();
  std::uint64_t refused_blocked_total();

 private:
  struct AddressRecord {
    std::deque<Clock::time_point> failures;  // within the window, oldest first
    Clock::time_point blocked_until{};
    Clock::time_point last_block_log{};
    bool block_logged = false;
    Clock::time_point last_seen{};
  };

  void forget_oldest_address();

  Limits limits_;
  std::mutex lock_;
  std::size_t in_handshake_ = 0;
  std::uint64_t refused_busy_total_ = 0;
  std::uint64_t refused_blocked_total_ = 0;
  std::uint64_t refused_since_log_ = 0;
  bool busy_logged_ = false;
  Clock::time_point last_busy_log_{};
  std::map<std::string, AddressRecord> addresses_;
};

}  // namespace tolvi
