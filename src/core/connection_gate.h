#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/limits.h"

namespace tolvi {

// What unauthenticated peers may cost, and how fast they may guess.
//
// Handshakes in progress are bounded in total and per address (IPv6 by /64). A full cap never
// turns a newcomer away: it closes the oldest handshake under that cap, so a real client,
// which finishes in milliseconds, always gets in past any number of stallers.
//
// Guessing is slowed, never blocked: the verdict on each proof from an address with recent
// failures is held for that address's delay (plus a shared delay while failures across all
// addresses run high), right or wrong alike, so hanging up early tells a guesser nothing. An
// address's proofs are checked one at a time, each after the previous verdict's hold, so
// concurrent guesses gain nothing; waiting for that turn still counts under the caps.
//
// Lines about unauthenticated peers go through the gate, limited per address per interval.
// Times come from the caller, so the schedule is tested without a real clock.
class ConnectionGate {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    std::size_t max_handshakes = kMaxConcurrentHandshakes;
    std::size_t max_handshakes_per_address = kMaxHandshakesPerAddress;
    Clock::duration first_delay = kFirstFailureDelay;
    Clock::duration max_delay = kMaxFailureDelay;
    Clock::duration failure_memory = kFailureMemory;
    int shared_delay_failures = kSharedDelayFailures;
    int log_lines = kPreAuthLogLines;
    Clock::duration log_interval = kPreAuthLogInterval;
    std::size_t max_tracked_addresses = kMaxTrackedAddresses;
  };

  // One handshake, shared by the gate and its client thread.
  class Ticket {
   public:
    const std::string& address() const { return address_; }
    // The client thread hands over how to end the handshake (closing its connection). If the
    // gate has already ended it, `close` runs at once.
    void attach(std::function<void()> close);
    // Before the connection goes away; the gate can no longer reach it.
    void detach();
    bool ended_by_gate();

   private:
    friend class ConnectionGate;
    void end();

    std::string address_;
    std::string group_;
    std::uint64_t serial_ = 0;  // admission order: the smallest is the oldest
    std::mutex lock_;
    std::function<void()> close_;
    bool ended_ = false;
    // Under the gate's lock.
    bool counted_ = false;
    bool has_turn_ = false;
  };

  ConnectionGate() = default;
  explicit ConnectionGate(Limits limits) : limits_(limits) {}

  // Every connection is admitted; a full cap closes its oldest handshake first.
  std::shared_ptr<Ticket> admit(const std::string& address, Clock::time_point now);
  // Blocks until no verdict of the ticket's address is being held. false when the gate ended
  // the handshake meanwhile.
  bool wait_for_turn(Ticket& ticket);
  // The proof has been checked. The handshake leaves the caps (it cannot be closed to make
  // room any more), the failure or success is recorded at once, and the result is how long
  // the verdict must be held.
  Clock::duration proof_checked(Ticket& ticket, bool right, Clock::time_point now);
  // The handshake is over (any outcome): its place and turn are given up.
  void finished(Ticket& ticket);

  // A line about the unauthenticated peer at `address`, logged unless that address has had
  // its share this interval; what is left out is counted and reported with the next line.
  void log_line(const std::string& address, const std::string& line, Clock::time_point now);

  // The hold a proof from `address` would get now.
  Clock::duration delay_for(const std::string& address, Clock::time_point now);
  std::size_t handshakes_in_progress();
  std::uint64_t closed_to_make_room();
  std::uint64_t failures_recorded();

  // IPv4 addresses stand alone; an IPv6 address is counted by its first 64 bits.
  static std::string address_group(const std::string& address);

 private:
  struct AddressRecord {
    std::size_t handshakes = 0;
    int failures = 0;  // consecutive, forgotten after a success or a quiet failure_memory
    Clock::time_point last_failure{};
    bool turn_taken = false;
    Clock::time_point last_seen{};
    Clock::time_point delay_logged{};
    bool delay_ever_logged = false;
    Clock::time_point log_window{};
    int lines_in_window = 0;
    std::uint64_t lines_left_out = 0;
  };

  AddressRecord& record_for(const std::string& group, Clock::time_point now);
  void forget_idle_address(const std::string& keep);
  Clock::duration schedule(int failures) const;
  Clock::duration shared_delay(Clock::time_point now);
  // Takes the oldest counted handshake (of `group`, or of all when empty) out of the caps.
  std::shared_ptr<Ticket> take_oldest(const std::string& group);
  void uncount(Ticket& ticket);

  Limits limits_;
  std::mutex lock_;
  std::condition_variable turn_free_;
  std::uint64_t next_serial_ = 0;
  std::map<std::uint64_t, std::shared_ptr<Ticket>> in_progress_;  // counted, by age
  std::map<std::string, AddressRecord> addresses_;
  std::deque<Clock::time_point> recent_failures_;  // all addresses, within failure_memory
  std::uint64_t closed_to_make_room_ = 0;
  std::uint64_t failures_recorded_ = 0;
};

}  // namespace tolvi
