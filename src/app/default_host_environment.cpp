#include "app/default_host_environment.h"

#include <memory>

#include "app/process_wide.h"
#include "app/session_shared_folder.h"
#include "app/status_observers.h"
#include "base/log.h"
#include "core/connection.h"
#include "core/host_environment.h"
#include "core/limits.h"
#include "core/placeholder_subsystems.h"
#include "core/session.h"
#include "input/input_desktop.h"
#include "platform/capture.h"
#include "platform/clipboard.h"
#include "platform/converter.h"
#include "platform/encoder.h"
#include "platform/folder_mount.h"
#include "platform/input.h"
#include "platform/keep_awake.h"
#include "platform/net.h"
#include "platform/service.h"
#include "service/secure_attention.h"
#include "settings/settings_store.h"
#include "video/capture_pipeline.h"

namespace tolvi {

namespace {

std::unique_ptr<platform::KeepAwake> make_keep_awake() {
  std::unique_ptr<platform::KeepAwake> keep_awake = platform::make_keep_awake("");
  if (!keep_awake) keep_awake = std::make_unique<PlaceholderKeepAwake>();
  return keep_awake;
}

class DefaultHostEnvironment : public HostEnvironment {
 public:
  // A display left switched, or a folder mount left behind, by an earlier host that was killed
  // (with its guardian) is put right before anyone connects.
  DefaultHostEnvironment() {
    recover_earlier_display_changes();
    platform::clean_stale_folder_mounts();
    // A desktop of a kind the host cannot serve is said where the user looks, not only
    // logged: every session would end right after authentication.
    const std::string problem = platform::desktop_support_problem();
    if (!problem.empty()) status_observer_->on_host_error(problem);
  }

  bool load_identity_key(std::uint8_t key[32]) override {
    return default_settings().load_identity_key(key);
  }
  std::string load_password() override { return default_settings().load_password(); }
  std::string computer_name() override { return platform::computer_name(); }

  std::unique_ptr<SharedFolder> make_shared_folder(Session& session) override {
    return make_session_shared_folder(session.connection());
  }
  std::unique_ptr<InputInjector> make_input_injector() override {
    // The session's desktop is the process's display ($DISPLAY on X11).
    return std::make_unique<InputInjector>(platform::make_input_sink(""));
  }
  std::unique_ptr<ClipboardSync> make_clipboard_sync() override {
    // The session's clipboard is the process's display's ($DISPLAY on X11).
    return std::make_unique<ClipboardSync>([] { return platform::make_clipboard_watcher(""); });
  }
  std::unique_ptr<CaptureLoop> make_capture_loop(Session& session) override {
    CapturePlatform platform;
    // The session's desktop is the process's display ($DISPLAY on X11).
    platform.make_capture_device = [] { return platform::make_capture_device(""); };
    platform.make_converter = [] { return platform::make_video_converter(); };
    platform.make_encoder_catalogue = []() -> std::shared_ptr<platform::EncoderCatalogue> {
      return platform::make_encoder_catalogue();
    };
    platform.allow_resolution_change = [] { return default_settings().allow_resolution_change(); };
    platform.follow_input_desktop = [] { follow_input_desktop(); };
    return std::make_unique<CapturePipeline>(session, tolvi::display_controller,
                                             std::move(platform));
  }

  platform::KeepAwake& keep_awake() override { return *keep_awake_; }
  // The process-wide controller, so that the process's exit paths can restore it too.
  DisplayController& display_controller() override { return tolvi::display_controller; }
  // GNOME on Wayland takes the chord through the session's own keyboard path; elsewhere only
  // the service can raise Ctrl+Alt+Del: it is asked through its named event.
  void request_secure_attention() override {
    if (platform::press_secure_attention_keys()) {
      log_message("Ctrl+Alt+Del pressed on the desktop");
      return;
    }
    tolvi::request_secure_attention(
        [](const std::string& name) { return platform::open_event(name); });
  }
  HostStatusObserver& status_observer() override { return *status_observer_; }

 private:
  std::unique_ptr<platform::KeepAwake> keep_awake_ = make_keep_awake();
  std::unique_ptr<HostStatusObserver> status_observer_ = make_status_observer();
};

}  // namespace

std::shared_ptr<HostEnvironment> make_default_host_environment() {
  return std::make_shared<DefaultHostEnvironment>();
}

}  // namespace tolvi
