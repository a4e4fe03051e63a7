#include "base/clock.h"

namespace tolvi {

namespace {

class SystemClock : public Clock {
 public:
  std::uint64_t now_us() override { return monotonic_us(); }
  void sleep_ms(std::uint32_t ms) override { sleep_thread_ms(ms); }
};

}  // namespace

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

}  // namespace tolvi
