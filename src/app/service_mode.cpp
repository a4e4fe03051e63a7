// The service mode: supervises one agent in the console session (see service/supervisor.h).
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "app/modes.h"
#include "app/process_wide.h"
#include "base/clock.h"
#include "base/log.h"
#include "platform/service.h"
#include "base/secure_zero.h"
#include "service/agent_hand_over.h"
#include "service/secure_attention.h"
#include "service/service_control.h"
#include "service/supervisor.h"
#include "settings/settings_store.h"

namespace tolvi {
namespace {

platform::AgentHandOver agent_hand_over() {
  platform::AgentHandOver hand_over;
  // Read as the service, which may (as root) open the machine's secrets and make the password
  // and identity key where there are none yet.
  hand_over.secrets = [] {
    std::string password = default_settings().load_password();
    SecretArray<kIdentityKeyBytes> identity;
    default_settings().load_identity_key_steadily(identity.bytes);
    SecretBytes message = encode_secrets(password, identity.bytes);
    if (message.bytes.empty()) {
      // Too long to hand over: the agent is told there is none, and refuses every client.
      static std::once_flag told;
      std::call_once(told, [] { log_message("the password is too long to hand to the agent"); });
      message = encode_secrets("", identity.bytes);
    }
    secure_zero(password.data(), password.size());
    return std::exchange(message.bytes, {});
  };
  hand_over.received = [](std::span<const std::uint8_t> message) {
    if (const std::optional<std::string> status = decode_status(message)) {
      default_settings().save_status(*status);
    }
  };
  hand_over.gone = [] { default_settings().save_status(""); };
  return hand_over;
}

// The supervision loop over the system.
class SystemSupervisorPlatform : public SupervisorPlatform {
 public:
  explicit SystemSupervisorPlatform(ServiceControlState& control)
      : consoles_(platform::make_console_sessions(
            [&control] { control.handle(kControlSessionChange, kConsoleConnect); })),
        secure_attention_([this] { return consoles_->find_secure_attention(); }) {
    consoles_->set_agent_hand_over(agent_hand_over());
  }

  std::unique_ptr<platform::SignalEvent> create_event(platform::EventReset reset,
                                                      const std::string& name) override {
    return platform::create_event(reset, name);
  }
  unsigned long console_session() override { return consoles_->console_session(); }
  std::unique_ptr<platform::AgentProcess> launch_agent(unsigned long session) override {
    return consoles_->launch_agent(session);
  }
  int wait_for_any(std::span<platform::Waitable* const> objects,
                   std::uint32_t timeout_ms) override {
    return platform::wait_for_any(objects, timeout_ms);
  }
  void secure_attention() override { secure_attention_.press(); }
  void save_status(const std::string& text) override { default_settings().save_status(text); }
  void sleep_ms(std::uint32_t ms) override { system_clock().sleep_ms(ms); }
  std::uint64_t now_ms() override { return system_clock().now_us() / 1000; }

 private:
  std::unique_ptr<platform::ConsoleSessions> consoles_;
  SecureAttention secure_attention_;
};

}  // namespace

int run_service() {
  // One control state for the process: the handler may run before the main routine.
  static ServiceControlState control;
  platform::ServiceRoutines routines;
  routines.main = [](platform::ServiceStatusReporter& reporter) {
    SystemSupervisorPlatform system(control);
    service_main(system, control, reporter);
  };
  routines.control = [](std::uint32_t code, std::uint32_t event_type) {
    return control.handle(code, event_type);
  };
  if (!platform::run_service_dispatcher(kServiceName, std::move(routines))) {
    log_message("the service could not be started (--service is for the service manager)");
    return 1;
  }
  return 0;
}

}  // namespace tolvi
