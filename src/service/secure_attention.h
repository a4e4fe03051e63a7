#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/service.h"

namespace tolvi {

// The service's secure attention step. The system's entry is looked up on the first request
// only, however many threads ask at once; its outcome (an entry or none) stays for the life of
// the object.
class SecureAttention {
 public:
  explicit SecureAttention(std::function<std::function<bool()>()> look_up)
      : look_up_(std::move(look_up)) {}

  // Calls the entry: "SendSAS issued" when it went through, "SendSAS unavailable" otherwise.
  void press();

 private:
  std::function<std::function<bool()>()> look_up_;
  std::once_flag looked_up_;
  std::function<bool()> entry_;
};

// What a session calls when its client asks for Ctrl+Alt+Del: signals the service through the
// named event when a service runs ("Ctrl+Alt+Del requested"), otherwise says it needs one.
// `open_event` opens a named event (platform::open_event in the program).
void request_secure_attention(
    const std::function<std::unique_ptr<platform::SignalEvent>(const std::string&)>& open_event);

// The agent's side of the quit event: waits for it, then `quit` (the program restores the
// display, clears the status and ends the process with 0).
void agent_quit_watcher(platform::SignalEvent& quit_event, const std::function<void()>& quit);

}  // namespace tolvi
