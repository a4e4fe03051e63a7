#include "core/connection_gate.h"

#include "base/log.h"

namespace tolvi {

ConnectionGate::Verdict ConnectionGate::admit(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = addresses_.find(address);
  if (found != addresses_.end()) {
    AddressRecord& record = found->second;
    if (now < record.blocked_until) {
      ++refused_blocked_total_;
      if (!record.block_logged || now - record.last_block_log >= limits_.block_time) {
        record.block_logged = true;
        record.last_block_log = now;
        log_message(
            "%s: too many failed passwords, connections refused for %lld s", address.c_str(),
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(limits_.block_time).count()));
      }
      return Verdict::AddressBlocked;
    }
    // A block that has run out and no recent failures: nothing left to remember.
    if (now - record.last_seen >= limits_.failed_proof_window) addresses_.erase(found);
  }
  if (in_handshake_ >= limits_.max_handshakes) {
    ++refused_busy_total_;
    ++refused_since_log_;
    if (!busy_logged_ || now - last_busy_log_ >= limits_.refusal_log_interval) {
      busy_logged_ = true;
      last_busy_log_ = now;
      log_message("refused %llu connections: %zu handshakes in progress",
                  static_cast<unsigned long long>(refused_since_log_), in_handshake_);
      refused_since_log_ = 0;
    }
    return Verdict::TooManyHandshakes;
  }
  ++in_handshake_;
  return Verdict::Admit;
}

void ConnectionGate::handshake_finished() {
  std::lock_guard<std::mutex> guard(lock_);
  if (in_handshake_ > 0) --in_handshake_;
}

void ConnectionGate::proof_failed(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> guard(lock_);
  if (addresses_.find(address) == addresses_.end() &&
      addresses_.size() >= limits_.max_tracked_addresses) {
    forget_oldest_address();
  }
  AddressRecord& record = addresses_[address];
  record.last_seen = now;
  while (!record.failures.empty() && now - record.failures.front() >= limits_.failed_proof_window) {
    record.failures.pop_front();
  }
  record.failures.push_back(now);
  if (static_cast<int>(record.failures.size()) >= limits_.max_failed_proofs) {
    record.blocked_until = now + limits_.block_time;
    record.failures.clear();
  }
}

void ConnectionGate::forget_oldest_address() {
  // The address whose last wrong proof is the oldest; a blocked one was seen recently.
  auto oldest = addresses_.end();
  for (auto it = addresses_.begin(); it != addresses_.end(); ++it) {
    if (oldest == addresses_.end() || it->second.last_seen < oldest->second.last_seen) {
      oldest = it;
    }
  }
  if (oldest != addresses_.end()) addresses_.erase(oldest);
}

std::size_t ConnectionGate::handshakes_in_progress() {
  std::lock_guard<std::mutex> guard(lock_);
  return in_handshake_;
}

std::uint64_t ConnectionGate::refused_busy_total() {
  std::lock_guard<std::mutex> guard(lock_);
  return refused_busy_total_;
}

std::uint64_t ConnectionGate::refused_blocked_total() {
  std::lock_guard<std::mutex> guard(lock_);
  return refused_blocked_total_;
}

}  // namespace tolvi
