#include "service/supervisor.h"

#include <algorithm>
#include <array>

#include "base/log.h"

namespace tolvi {
namespace {

constexpr std::uint32_t kRunningControls =
    platform::kAcceptStop | platform::kAcceptShutdown | platform::kAcceptSessionChange;

// The slots of the loop's wait, in the order that decides which wins.
constexpr int kStopSlot = 0;
constexpr int kSecureAttentionSlot = 2;
constexpr int kAgentSlot = 3;

class Supervisor {
 public:
  Supervisor(SupervisorPlatform& platform, platform::SignalEvent& quit_event)
      : platform_(platform), quit_event_(quit_event) {}

  // Asks the agent to quit, gives it the grace time, ends it if it did not listen, and clears
  // the quit request before any new agent can see it.
  void stop_agent() {
    quit_event_.set();
    if (!agent_->ended(kAgentQuitGraceMs)) agent_->terminate();
    quit_event_.reset();
    agent_.reset();
  }

  // One look at the console: keeps, replaces or starts the agent.
  void check_console() {
    const unsigned long console = platform_.console_session();
    if (agent_) {
      const bool running = !agent_->ended(0);
      if (running && agent_session_ == console) return;
      if (running) {
        log_message("console moved to session %lu; restarting agent", console);
      } else {
        log_message("agent exited");
      }
      stop_agent();
    }
    if (console == platform::kNoConsoleSession) return;
    agent_ = platform_.launch_agent(console);
    if (agent_) {
      agent_session_ = console;
      failures_ = 0;
    } else {
      ++failures_;
    }
  }

  platform::AgentProcess* agent() { return agent_.get(); }
  std::uint32_t failures() const { return failures_; }

 private:
  SupervisorPlatform& platform_;
  platform::SignalEvent& quit_event_;
  std::unique_ptr<platform::AgentProcess> agent_;
  unsigned long agent_session_ = platform::kNoConsoleSession;
  std::uint32_t failures_ = 0;
};

}  // namespace

std::uint32_t supervision_wait_ms(std::uint32_t failures) {
  if (failures == 0) return kConsoleCheckMs;
  return std::min<std::uint64_t>(std::uint64_t{failures} * kBackOffStepMs, kBackOffLimitMs);
}

void service_main(SupervisorPlatform& platform, ServiceControlState& control,
                  platform::ServiceStatusReporter& reporter) {
  reporter.report(platform::ServiceState::StartPending, 0);
  auto stop_event = platform.create_event(platform::EventReset::Manual, "");
  auto wake_event = platform.create_event(platform::EventReset::Auto, "");
  auto sas_event = platform.create_event(platform::EventReset::Auto, kSecureAttentionEventName);
  auto quit_event = platform.create_event(platform::EventReset::Manual, kAgentQuitEventName);
  if (!stop_event || !wake_event || !sas_event || !quit_event) {
    // Without its events the service could neither be stopped nor stop an agent.
    log_message("the service cannot create its events; stopping");
    reporter.report(platform::ServiceState::Stopped, 0);
    return;
  }
  control.attach(&reporter, stop_event.get(), wake_event.get());
  reporter.report(platform::ServiceState::Running, kRunningControls);
  log_message("service running");
  platform.save_status("");

  Supervisor supervisor(platform, *quit_event);
  while (true) {
    supervisor.check_console();
    platform::AgentProcess* agent = supervisor.agent();
    std::array<platform::Waitable*, 4> objects{
        stop_event.get(), wake_event.get(), sas_event.get(),
        agent ? static_cast<platform::Waitable*>(agent) : wake_event.get()};
    const int woken = platform.wait_for_any(objects, supervision_wait_ms(supervisor.failures()));
    if (woken == kStopSlot) break;
    if (woken == kSecureAttentionSlot) {
      platform.secure_attention();
    } else if (woken == kAgentSlot && agent) {
      platform.sleep_ms(kAfterAgentExitMs);
    }
  }
  if (supervisor.agent()) supervisor.stop_agent();
  platform.save_status("");
  log_message("service stopped");
  control.attach(nullptr, nullptr, nullptr);
  reporter.report(platform::ServiceState::Stopped, 0);
}

}  // namespace tolvi
