#pragma once
#include <atomic>
#include <cstdint>

namespace tolvi {

// For a failure that may repeat every frame: says yes to the first `limit` occurrences in the
// life of the object (a process-wide one for process-wide limits), so only those are logged.
// Safe from any thread.
class LogFirstFew {
 public:
  explicit constexpr LogFirstFew(std::uint32_t limit) : limit_(limit) {}
  LogFirstFew(const LogFirstFew&) = delete;
  LogFirstFew& operator=(const LogFirstFew&) = delete;

  // Counts one occurrence; true while it is among the first `limit`.
  bool should_log() { return count_.fetch_add(1, std::memory_order_relaxed) < limit_; }

 private:
  const std::uint32_t limit_;
  std::atomic<std::uint32_t> count_{0};
};

}  // namespace tolvi
