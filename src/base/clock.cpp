#include "base/clock.h"

#include "platform/clock.h"

namespace tolvi {

std::uint64_t monotonic_us() { return platform::monotonic_clock_us(); }

namespace {

class SystemClock : public Clock {
 public:
  std::uint64_t now_us() override { return monotonic_us(); }
  void sleep_ms(std::uint32_t ms) override { platform::sleep_ms(ms); }
};

}  // namespace

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

}  // namespace tolvi
