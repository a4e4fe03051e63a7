#include "base/clock.h"

#include <windows.h>

#include <mutex>

namespace tolvi {

std::uint64_t monotonic_us() {
  // The counter's frequency never changes while the system runs: read it once.
  static std::once_flag once;
  static std::uint64_t frequency = 1;
  std::call_once(once, [] {
    LARGE_INTEGER value{};
    if (QueryPerformanceFrequency(&value) && value.QuadPart > 0) {
      frequency = static_cast<std::uint64_t>(value.QuadPart);
    }
  });
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
  // Split so that ticks * 1,000,000 cannot overflow on a long uptime.
  return ticks / frequency * 1000000u + ticks % frequency * 1000000u / frequency;
}

void sleep_thread_ms(std::uint32_t ms) { Sleep(ms); }

}  // namespace tolvi
