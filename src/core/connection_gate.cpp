#include "core/connection_gate.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/log.h"

namespace tolvi {
namespace {

constexpr int kIpv6Groups = 8;
constexpr int kPrefixGroups = 4;  // a /64
// Failures a minute kept for the shared delay; beyond this many the delay is at its maximum
// anyway.
constexpr std::size_t kMaxRecentFailures = 4096;

long long whole_ms(ConnectionGate::Clock::duration d) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// "a:b::c" into 16-bit groups; a trailing dotted quad gives the last two. false when the text
// is not an IPv6 address.
bool ipv6_groups(std::string text, unsigned groups[kIpv6Groups]) {
  text = text.substr(0, text.find('%'));  // the scope of a link-local address
  std::vector<unsigned> head, tail;
  std::vector<unsigned>* out = &head;
  bool compressed = false;
  std::size_t at = 0;
  if (text.compare(0, 2, "::") == 0) {
    compressed = true;
    out = &tail;
    at = 2;
  }
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(':', at), text.size());
    const std::string part = text.substr(at, end - at);
    if (part.find('.') != std::string::npos) {
      unsigned a, b, c, d;
      char extra;
      if (std::sscanf(part.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 ||
          b > 255 || c > 255 || d > 255) {
        return false;
      }
      out->push_back(a << 8 | b);
      out->push_back(c << 8 | d);
    } else {
      if (part.empty() || part.size() > 4) return false;
      unsigned value = 0;
      for (const char ch : part) {
        const int digit = ch >= '0' && ch <= '9'   ? ch - '0'
                          : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                          : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                                   : -1;
        if (digit < 0) return false;
        value = value << 4 | static_cast<unsigned>(digit);
      }
      out->push_back(value);
    }
    if (end >= text.size()) break;
    at = end + 1;
    if (at < text.size() && text[at] == ':') {
      if (compressed) return false;
      compressed = true;
      out = &tail;
      ++at;
    }
  }
  const std::size_t given = head.size() + tail.size();
  if (given > kIpv6Groups || (!compressed && given != kIpv6Groups)) return false;
  std::fill(groups, groups + kIpv6Groups, 0u);
  std::copy(head.begin(), head.end(), groups);
  std::copy(tail.begin(), tail.end(), groups + kIpv6Groups - tail.size());
  return true;
}

}  // namespace

void ConnectionGate::Ticket::attach(std::function<void()> close) {
  std::unique_lock<std::mutex> guard(lock_);
  if (ended_) {
    guard.unlock();
    close();
    return;
  }
  close_ = std::move(close);
}

void ConnectionGate::Ticket::detach() {
  std::lock_guard<std::mutex> guard(lock_);
  close_ = nullptr;
}

bool ConnectionGate::Ticket::ended_by_gate() {
  std::lock_guard<std::mutex> guard(lock_);
  return ended_;
}

void ConnectionGate::Ticket::end() {
  // Under the ticket's lock, so detach() cannot let the connection go while it is closed.
  std::lock_guard<std::mutex> guard(lock_);
  ended_ = true;
  if (close_) close_();
}

std::string ConnectionGate::address_group(const std::string& address) {
  if (address.find(':') == std::string::npos) return address;
  unsigned groups[kIpv6Groups];
  if (!ipv6_groups(address, groups)) return address;
  char text[48];
  std::snprintf(text, sizeof text, "%x:%x:%x:%x::/64", groups[0], groups[1], groups[2], groups[3]);
  static_assert(kPrefixGroups == 4);
  return text;
}

ConnectionGate::AddressRecord& ConnectionGate::record_for(const std::string& group,
                                                          Clock::time_point now) {
  if (addresses_.find(group) == addresses_.end() &&
      addresses_.size() >= limits_.max_tracked_addresses) {
    forget_idle_address(group);
  }
  AddressRecord& record = addresses_[group];
  record.last_seen = now;
  if (record.failures > 0 && now - record.last_failure >= limits_.failure_memory) {
    record.failures = 0;
  }
  return record;
}

void ConnectionGate::forget_idle_address(const std::string& keep) {
  // The address seen longest ago among those with nothing in progress.
  auto oldest = addresses_.end();
  for (auto it = addresses_.begin(); it != addresses_.end(); ++it) {
    if (it->first == keep || it->second.handshakes != 0 || it->second.turn_taken) continue;
    if (oldest == addresses_.end() || it->second.last_seen < oldest->second.last_seen) {
      oldest = it;
    }
  }
  if (oldest != addresses_.end()) addresses_.erase(oldest);
}

ConnectionGate::Clock::duration ConnectionGate::schedule(int failures) const {
  if (failures <= 0) return Clock::duration::zero();
  Clock::duration delay = limits_.first_delay;
  for (int i = 1; i < failures && delay < limits_.max_delay; ++i) delay *= 2;
  return std::min(delay, limits_.max_delay);
}

ConnectionGate::Clock::duration ConnectionGate::shared_delay(Clock::time_point now) {
  while (!recent_failures_.empty() && now - recent_failures_.front() >= limits_.failure_memory) {
    recent_failures_.pop_front();
  }
  return schedule(static_cast<int>(recent_failures_.size()) - limits_.shared_delay_failures);
}

void ConnectionGate::uncount(Ticket& ticket) {
  if (!ticket.counted_) return;
  ticket.counted_ = false;
  in_progress_.erase(ticket.serial_);
  const auto found = addresses_.find(ticket.group_);
  if (found != addresses_.end() && found->second.handshakes > 0) --found->second.handshakes;
}

std::shared_ptr<ConnectionGate::Ticket> ConnectionGate::take_oldest(const std::string& group) {
  for (auto it = in_progress_.begin(); it != in_progress_.end(); ++it) {
    if (!group.empty() && it->second->group_ != group) continue;
    std::shared_ptr<Ticket> oldest = it->second;
    uncount(*oldest);
    ++closed_to_make_room_;
    return oldest;
  }
  return nullptr;
}

std::shared_ptr<ConnectionGate::Ticket> ConnectionGate::admit(const std::string& address,
                                                              Clock::time_point now) {
  auto ticket = std::make_shared<Ticket>();
  ticket->address_ = address;
  ticket->group_ = address_group(address);
  std::vector<std::shared_ptr<Ticket>> to_close;
  {
    std::lock_guard<std::mutex> guard(lock_);
    AddressRecord& record = record_for(ticket->group_, now);
    if (record.handshakes >= limits_.max_handshakes_per_address) {
      if (auto oldest = take_oldest(ticket->group_)) to_close.push_back(std::move(oldest));
    }
    if (in_progress_.size() >= limits_.max_handshakes) {
      if (auto oldest = take_oldest("")) to_close.push_back(std::move(oldest));
    }
    ticket->serial_ = next_serial_++;
    ticket->counted_ = true;
    in_progress_[ticket->serial_] = ticket;
    ++record.handshakes;
  }
  if (to_close.empty()) return ticket;
  for (const auto& old : to_close) old->end();
  // A closed handshake may be waiting for its turn. Taking the lock after end() means a waiter
  // has either not looked at its ticket yet or is already waiting, so it cannot miss this.
  { std::lock_guard<std::mutex> guard(lock_); }
  turn_free_.notify_all();
  for (const auto& old : to_close) {
    log_line(old->address_, old->address_ + ": handshake closed to make room for a newer one", now);
  }
  return ticket;
}

bool ConnectionGate::wait_for_turn(Ticket& ticket) {
  std::unique_lock<std::mutex> guard(lock_);
  while (true) {
    if (ticket.ended_by_gate()) return false;
    AddressRecord& record = addresses_[ticket.group_];
    if (!record.turn_taken) {
      record.turn_taken = true;
      ticket.has_turn_ = true;
      return true;
    }
    turn_free_.wait(guard);
  }
}

ConnectionGate::Clock::duration ConnectionGate::proof_checked(Ticket& ticket, bool right,
                                                              Clock::time_point now) {
  std::unique_lock<std::mutex> guard(lock_);
  uncount(ticket);
  AddressRecord& record = record_for(ticket.group_, now);
  // The hold comes from the failures before this proof, so right and wrong look the same.
  const Clock::duration own = schedule(record.failures);
  const Clock::duration hold = own + shared_delay(now);
  const int failures_before = record.failures;
  const bool log_delay =
      hold > Clock::duration::zero() &&
      (!record.delay_ever_logged || now - record.delay_logged >= limits_.log_interval);
  if (log_delay) {
    record.delay_ever_logged = true;
    record.delay_logged = now;
  }
  if (right) {
    record.failures = 0;
  } else {
    ++record.failures;
    record.last_failure = now;
    ++failures_recorded_;
    recent_failures_.push_back(now);
    if (recent_failures_.size() > kMaxRecentFailures) recent_failures_.pop_front();
  }
  guard.unlock();
  if (log_delay) {
    log_message("%s: %d failed passwords, answers delayed %lld ms (%lld ms for every address)",
                ticket.group_.c_str(), failures_before, whole_ms(hold), whole_ms(hold - own));
  }
  return hold;
}

void ConnectionGate::finished(Ticket& ticket) {
  bool released = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    uncount(ticket);
    if (ticket.has_turn_) {
      ticket.has_turn_ = false;
      const auto found = addresses_.find(ticket.group_);
      if (found != addresses_.end()) found->second.turn_taken = false;
      released = true;
    }
  }
  if (released) turn_free_.notify_all();
}

void ConnectionGate::log_line(const std::string& address, const std::string& line,
                              Clock::time_point now) {
  std::uint64_t left_out = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    AddressRecord& record = record_for(address_group(address), now);
    if (record.lines_in_window == 0 || now - record.log_window >= limits_.log_interval) {
      record.log_window = now;
      record.lines_in_window = 0;
    }
    if (record.lines_in_window >= limits_.log_lines) {
      ++record.lines_left_out;
      return;
    }
    ++record.lines_in_window;
    left_out = record.lines_left_out;
    record.lines_left_out = 0;
  }
  if (left_out != 0) {
    log_message("%s: %llu more lines about unauthenticated connections left out", address.c_str(),
                static_cast<unsigned long long>(left_out));
  }
  log_message("%s", line.c_str());
}

ConnectionGate::Clock::duration ConnectionGate::delay_for(const std::string& address,
                                                          Clock::time_point now) {
  std::lock_guard<std::mutex> guard(lock_);
  AddressRecord& record = record_for(address_group(address), now);
  return schedule(record.failures) + shared_delay(now);
}

std::size_t ConnectionGate::handshakes_in_progress() {
  std::lock_guard<std::mutex> guard(lock_);
  return in_progress_.size();
}

std::uint64_t ConnectionGate::closed_to_make_room() {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_to_make_room_;
}

std::uint64_t ConnectionGate::failures_recorded() {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_recorded_;
}

}  // namespace tolvi
