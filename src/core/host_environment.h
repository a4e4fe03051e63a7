#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "clipboard/clipboard_sync.h"
#include "core/host_status_observer.h"
#include "display/display_controller.h"
#include "input/input_injector.h"
#include "platform/keep_awake.h"
#include "share/shared_folder.h"
#include "video/capture_loop.h"

namespace tolvi {

class Session;

// Everything a session reaches outside the host core: the credentials, the per-session
// subsystems and the process-wide services. The host server holds one for its lifetime and
// shares it with every client thread; tests hand in fakes.
class HostEnvironment {
 public:
  virtual ~HostEnvironment() = default;

  // The 32-byte identity private key (made and stored on first use); false when none.
  virtual bool load_identity_key(std::uint8_t key[32]) = 0;
  virtual std::string load_password() = 0;
  // The name sent in HostHello; empty when it cannot be read.
  virtual std::string computer_name() = 0;

  virtual std::unique_ptr<SharedFolder> make_shared_folder(Session& session) = 0;
  virtual std::unique_ptr<InputInjector> make_input_injector() = 0;
  virtual std::unique_ptr<ClipboardSync> make_clipboard_sync() = 0;
  virtual std::unique_ptr<CaptureLoop> make_capture_loop(Session& session) = 0;

  // Keeps the machine and the display awake while a session serves; begin() and end() are
  // called by the serving session's client thread.
  virtual platform::KeepAwake& keep_awake() = 0;
  virtual DisplayController& display_controller() = 0;
  // CtrlAltDel from the client.
  virtual void request_secure_attention() = 0;
  // Told when a client is served, when it is gone, and when the host cannot serve.
  virtual HostStatusObserver& status_observer() = 0;
};

}  // namespace tolvi
