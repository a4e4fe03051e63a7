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
    agent_->ask_to_quit();
    if (!agent_->ended(kAgentQuitGraceMs)) agent_->terminate();
    quit_event_.reset();
    agent_.reset();
  }

  // One look at the console: keeps, replaces or starts the agent. An agent that ended before
  // it settled is not replaced in the same turn: the loop's wait is the back-off.
  void check_console() {
    const unsigned long console = platform_.console_session();
    if (agent_) {
      const bool running = !agent_->ended(0);
      const std::uint64_t ran_ms = agent_ran_ms();
      if (ran_ms >= kAgentSettleMs) quick_exits_ = 0;
      if (running && agent_session_ == console) return;
      if (running) {
        log_message("console moved to session %lu; restarting agent", console);
      } else {
        log_message("agent exited");
      }
      stop_agent();
      if (!running && ran_ms < kAgentSettleMs) {
        failures_ = ++quick_exits_;
        log_message("the agent ended %llu ms after its start; the next start waits %u ms",
                    static_cast<unsigned long long>(ran_ms), supervision_wait_ms(failures_));
        return;
      }
    }
    if (console == platform::kNoConsoleSession) return;
    agent_ = platform_.launch_agent(console);
    if (agent_) {
      agent_session_ = console;
      agent_started_ms_ = platform_.now_ms();
      failures_ = 0;
    } else {
      ++failures_;
    }
  }

  // Whether the agent that just ended had settled, so that it is replaced after the short pause.
  bool agent_settled() { return agent_ran_ms() >= kAgentSettleMs; }

  platform::AgentProcess* agent() { return agent_.get(); }
  std::uint64_t agent_ran_ms() { return platform_.now_ms() - agent_started_ms_; }
  std::uint32_t failures() const { return failures_; }

 private:
  SupervisorPlatform& platform_;
  platform::SignalEvent& quit_event_;
  std::unique_ptr<platform::AgentProcess> agent_;
  unsigned long agent_session_ = platform::kNoConsoleSession;
  std::uint64_t agent_started_ms_ = 0;
  std::uint32_t failures_ = 0;
  // Agents in a row that ended before they settled; the back-off follows them.
  std::uint32_t quick_exits_ = 0;
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
    } else if (woken == kAgentSlot && agent && supervisor.agent_settled()) {
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
