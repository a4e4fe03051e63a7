#pragma once
#include <cstdint>

namespace tolvi {

// Monotonic microseconds with an arbitrary origin, never going back: the time base of frame
// pacing and of VideoFrame times. The origin is the same for every process on the machine while
// it runs, so two local processes can compare their times.
std::uint64_t monotonic_us();

// Sleeps the calling thread for about `ms` milliseconds.
void sleep_thread_ms(std::uint32_t ms);

// The two above are the system's: base/linux/clock.cpp and base/win32/clock.cpp.

// The time source of the capture loop; tests hand it a fake that moves only when told.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t now_us() = 0;
  virtual void sleep_ms(std::uint32_t ms) = 0;
};

// The real clock (monotonic_us and a real sleep), shared by the whole process.
Clock& system_clock();

}  // namespace tolvi
