#include <thread>

#include "core/connection.h"
#include "core/host_environment.h"
#include "core/limits.h"
#include "core/placeholder_subsystems.h"
#include "core/session.h"
#include "platform/net.h"
#include "settings/log.h"
#include "settings/settings_store.h"

namespace tolvi {

void PlaceholderCaptureLoop::run() {
  while (!connection_.closed()) std::this_thread::sleep_for(kIdleCaptureTurn);
}

namespace {

class DefaultHostEnvironment : public HostEnvironment {
 public:
  bool load_identity_key(std::uint8_t key[32]) override {
    return default_settings().load_identity_key(key);
  }
  std::string load_password() override { return default_settings().load_password(); }
  std::string computer_name() override { return platform::computer_name(); }

  std::unique_ptr<SharedFolder> make_shared_folder(Session&) override {
    return std::make_unique<PlaceholderSharedFolder>();
  }
  std::unique_ptr<InputInjector> make_input_injector() override {
    return std::make_unique<PlaceholderInputInjector>();
  }
  std::unique_ptr<ClipboardSync> make_clipboard_sync() override {
    return std::make_unique<PlaceholderClipboardSync>();
  }
  std::unique_ptr<CaptureLoop> make_capture_loop(Session& session) override {
    return std::make_unique<PlaceholderCaptureLoop>(session.connection());
  }

  KeepAwake& keep_awake() override { return keep_awake_; }
  DisplayController& display_controller() override { return display_controller_; }
  // Only the service can raise Ctrl+Alt+Del, and this build has no service yet.
  void request_secure_attention() override {
    log_message("Ctrl+Alt+Del needs the Tolvi Host service");
  }

 private:
  PlaceholderKeepAwake keep_awake_;
  PlaceholderDisplayController display_controller_;
};

}  // namespace

std::shared_ptr<HostEnvironment> make_default_host_environment() {
  return std::make_shared<DefaultHostEnvironment>();
}

}  // namespace tolvi
