// The service under systemd: the main routine runs on the calling thread, SIGTERM and SIGINT
// (systemd's stop, Ctrl+C by hand) are the stop control, and readiness and stopping are told
// to systemd (Type=notify; without NOTIFY_SOCKET the notifications are no-ops). While it runs it
// holds the service's marker (service_state.h).
#include <systemd/sd-daemon.h>

#include "platform/linux/service_state.h"
#include "platform/service.h"
#include "platform/stop_signals.h"

namespace tolvi::platform {
namespace {

constexpr std::uint32_t kStopControl = 1;

class NotifyReporter : public ServiceStatusReporter {
 public:
  void report(ServiceState state, std::uint32_t) override {
    if (state == ServiceState::Running) sd_notify(0, "READY=1");
    if (state == ServiceState::StopPending) sd_notify(0, "STOPPING=1");
  }
};

}  // namespace

bool run_service_dispatcher(const std::string&, ServiceRoutines routines) {
  auto control = routines.control;
  watch_stop_signals([control](int) { control(kStopControl, 0); });
  NotifyReporter reporter;
  // From the start to the end of the main routine, for the trays of signed-in people (a service
  // started by hand or where systemd does not run has no other state to ask for).
  const ServiceMarker marker;
  routines.main(reporter);
  return true;
}

}  // namespace tolvi::platform
