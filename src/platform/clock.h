#pragma once
#include <cstdint>

#include "base/clock.h"

namespace tolvi::platform {

// The viewer's name for base's monotonic clock (base/clock.h); it goes once the viewer reads
// that one directly.
inline std::uint64_t monotonic_clock_us() { return monotonic_us(); }

}  // namespace tolvi::platform
