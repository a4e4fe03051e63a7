#include "base/run_mode.h"

namespace tolvi {

std::atomic<RunMode> run_mode{RunMode::Tray};

}  // namespace tolvi
