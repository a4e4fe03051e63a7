#include "service/secure_attention.h"

#include <array>

#include "base/log.h"
#include "service/service_control.h"

namespace tolvi {

void SecureAttention::press() {
  std::call_once(looked_up_, [this] { entry_ = look_up_(); });
  if (entry_ && entry_()) {
    log_message("SendSAS issued");
  } else {
    log_message("SendSAS unavailable");
  }
}

void request_secure_attention(
    const std::function<std::unique_ptr<platform::SignalEvent>(const std::string&)>& open_event) {
  auto event = open_event(kSecureAttentionEventName);
  if (!event) {
    log_message("Ctrl+Alt+Del needs the Tolvi Host service");
    return;
  }
  event->set();
  event.reset();
  log_message("Ctrl+Alt+Del requested");
}

void agent_quit_watcher(platform::SignalEvent& quit_event, const std::function<void()>& quit) {
  std::array<platform::Waitable*, 1> objects{&quit_event};
  if (platform::wait_for_any(objects, platform::kWaitForever) != 0) {
    // Not a quit request: the agent keeps serving; the service ends it after its grace time.
    log_message("agent: cannot wait for the quit request");
    return;
  }
  log_message("agent: quit requested");
  quit();
}

}  // namespace tolvi
