#pragma once
#include <memory>

#include "core/host_environment.h"

namespace tolvi {

// The composition root: the environment of a real host, built from the settings store, the
// computer's name, this build's platform backend (capture, conversion, encoders, keep-awake)
// and whatever subsystems it has (placeholders for those still to come).
std::shared_ptr<HostEnvironment> make_default_host_environment();

}  // namespace tolvi
