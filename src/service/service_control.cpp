#include "service/service_control.h"

namespace tolvi {

void ServiceControlState::attach(platform::ServiceStatusReporter* reporter,
                                 platform::SignalEvent* stop_event,
                                 platform::SignalEvent* wake_event) {
  std::lock_guard<std::mutex> guard(lock_);
  reporter_ = reporter;
  stop_event_ = stop_event;
  wake_event_ = wake_event;
  if (stop_requested_ && stop_event_) stop_event_->set();
}

std::uint32_t ServiceControlState::handle(std::uint32_t control, std::uint32_t event_type) {
  std::lock_guard<std::mutex> guard(lock_);
  switch (control) {
    case kControlStop:
    case kControlShutdown:
      if (reporter_) reporter_->report(platform::ServiceState::StopPending, 0);
      stop_requested_ = true;
      if (stop_event_) stop_event_->set();
      return kNoError;
    case kControlInterrogate:
      return kNoError;
    case kControlSessionChange:
      if (event_type == kConsoleConnect || event_type == kConsoleDisconnect ||
          event_type == kSessionLogon || event_type == kSessionLogoff) {
        if (wake_event_) wake_event_->set();
      }
      return kNoError;
    default:
      return kCallNotImplemented;
  }
}

}  // namespace tolvi
