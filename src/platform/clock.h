#pragma once
#include <cstdint>

namespace tolvi::platform {

// Microseconds of a monotonic clock with an arbitrary origin, never going back; the same
// origin for every process on the machine while it runs (so two local processes can compare).
std::uint64_t monotonic_clock_us();

// Sleeps the calling thread for about `ms` milliseconds.
void sleep_ms(std::uint32_t ms);

}  // namespace tolvi::platform
