#pragma once
#include <cstdint>
#include <mutex>

#include "base/product.h"
#include "platform/service.h"

namespace tolvi {

// The two events the service and its agent share, by name.
constexpr const char* kSecureAttentionEventName = "Global\\TolviHostSAS";
constexpr const char* kAgentQuitEventName = "Global\\TolviHostAgentQuit";

// Service manager controls and answers, by the service manager's numbers.
constexpr std::uint32_t kControlStop = 1;
constexpr std::uint32_t kControlInterrogate = 4;
constexpr std::uint32_t kControlShutdown = 5;
constexpr std::uint32_t kControlSessionChange = 14;
constexpr std::uint32_t kConsoleConnect = 1;
constexpr std::uint32_t kConsoleDisconnect = 2;
constexpr std::uint32_t kSessionLogon = 5;
constexpr std::uint32_t kSessionLogoff = 6;
constexpr std::uint32_t kNoError = 0;
constexpr std::uint32_t kCallNotImplemented = 120;

// What the control handler shares with the service's main routine: the status reporter and the
// stop and wake events. The handler may run before the main routine made its events (a stop
// signal early in start-up on Linux); such a stop is kept and sets the stop event once it exists.
class ServiceControlState {
 public:
  // Called by the main routine once its events exist, and with nulls before they go away.
  void attach(platform::ServiceStatusReporter* reporter, platform::SignalEvent* stop_event,
              platform::SignalEvent* wake_event);

  // The control handler: stop and shutdown report stop pending and set the stop event; console
  // connect/disconnect and logon/logoff set the wake event; interrogate is answered; anything
  // else is not implemented.
  std::uint32_t handle(std::uint32_t control, std::uint32_t event_type);

 private:
  std::mutex lock_;
  platform::ServiceStatusReporter* reporter_ = nullptr;
  platform::SignalEvent* stop_event_ = nullptr;
  platform::SignalEvent* wake_event_ = nullptr;
  bool stop_requested_ = false;
};

}  // namespace tolvi
