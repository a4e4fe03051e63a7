#pragma once
#include <cstdint>

namespace tolvi {

// Monotonic microseconds: the time base of frame pacing and of VideoFrame times.
std::uint64_t monotonic_us();

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
