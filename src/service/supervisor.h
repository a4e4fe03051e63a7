#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/service.h"
#include "service/service_control.h"

namespace tolvi {

// Waits of the supervision loop.
constexpr std::uint32_t kConsoleCheckMs = 2000;    // between checks while all is well
constexpr std::uint32_t kBackOffStepMs = 1000;     // per failed agent start
constexpr std::uint32_t kBackOffLimitMs = 30000;   // the longest wait after failures
constexpr std::uint32_t kAgentQuitGraceMs = 4000;  // before an agent that was asked is ended
constexpr std::uint32_t kAfterAgentExitMs = 500;   // before an ended agent is replaced
// An agent that ends sooner than this after its start (it could not listen, say) counts as a
// failed start: the next one waits out the growing back-off instead of kAfterAgentExitMs.
constexpr std::uint32_t kAgentSettleMs = 5000;

// How long the loop waits with `failures` failed starts in a row.
std::uint32_t supervision_wait_ms(std::uint32_t failures);

// What the supervision loop reaches outside itself; the service process hands in the system,
// tests a fake.
class SupervisorPlatform {
 public:
  virtual ~SupervisorPlatform() = default;
  virtual std::unique_ptr<platform::SignalEvent> create_event(platform::EventReset reset,
                                                              const std::string& name) = 0;
  virtual unsigned long console_session() = 0;
  virtual std::unique_ptr<platform::AgentProcess> launch_agent(unsigned long session) = 0;
  virtual int wait_for_any(std::span<platform::Waitable* const> objects,
                           std::uint32_t timeout_ms) = 0;
  // Presses the secure attention sequence (and logs what came of it).
  virtual void secure_attention() = 0;
  virtual void save_status(const std::string& text) = 0;
  virtual void sleep_ms(std::uint32_t ms) = 0;
  // Monotonic milliseconds, for how long an agent has run.
  virtual std::uint64_t now_ms() = 0;
};

// The service's main routine after its control handler is registered: creates the events,
// keeps one agent running in the console session until stopped, passes secure attention
// requests on, and reports each state to `reporter`.
void service_main(SupervisorPlatform& platform, ServiceControlState& control,
                  platform::ServiceStatusReporter& reporter);

}  // namespace tolvi
