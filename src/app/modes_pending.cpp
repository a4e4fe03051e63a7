// Run modes whose subsystems are not part of this build yet. Each says so and fails, so no
// caller mistakes them for success.
#include <string>

#include "app/modes.h"
#include "base/log.h"

namespace tolvi {

int mode_not_available(std::string_view mode) {
  log_message("%s is not available in this build", std::string(mode).c_str());
  return kNotAvailable;
}

int run_service() { return mode_not_available("the service (--service)"); }

}  // namespace tolvi
