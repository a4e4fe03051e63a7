// The tray application (no option) and the "--password-dialog" command.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/default_host_environment.h"
#include "app/modes.h"
#include "app/process_wide.h"
#include "base/log.h"
#include "base/product.h"
#include "base/secure_zero.h"
#include "base/thread_start.h"
#include "core/host_server.h"
#include "display/display_controller.h"
#include "platform/process.h"
#include "platform/random.h"
#include "platform/tray.h"
#include "settings/settings_store.h"
#include "tray/password_rules.h"
#include "tray/tray_application.h"

namespace tolvi {
namespace {

constexpr std::chrono::seconds kListenRetry{3};

constexpr char kNoDesktop[] = "tray: no desktop to show the icon on (is DISPLAY set?)";

std::string new_secure_password() { return generate_secure_password(random_bytes); }

// The machine password as an elevated "--show-password" prints it: its last line (the lines
// before it, if any, are the log's).
std::optional<std::string> password_through_elevation() {
  std::optional<std::string> output = platform::run_elevated_for_output("--show-password");
  if (!output) return std::nullopt;
  std::size_t end = output->find_last_not_of("\r\n");
  std::optional<std::string> password;
  if (end != std::string::npos) {
    const std::size_t start = output->find_last_of('\n', end);
    password = output->substr(start == std::string::npos ? 0 : start + 1,
                              end + 1 - (start == std::string::npos ? 0 : start + 1));
  }
  secure_zero(output->data(), output->size());
  return password;
}

// The host of a per-user tray: on a thread of its own for the life of the process. When it
// cannot start it has reported why, and the icon shows it; a port that another program holds
// is tried again every few seconds, and the icon turns from red once the host listens.
void start_host_server(std::shared_ptr<HostEnvironment> environment) {
  start_thread([environment = std::move(environment)] {
    HostServerOptions options;
    options.port = default_settings().load_port();
    options.environment = environment;
    options.prepare_process = platform::prepare_host_process;
    HostServer server{std::move(options)};
    if (!server.start()) {
      if (!server.listen_refused()) return;  // the self-test failed: trying again cannot help
      log_message("tray: trying again every %lld s", static_cast<long long>(kListenRetry.count()));
      do {
        std::this_thread::sleep_for(kListenRetry);
      } while (!server.listen());
    }
    server.accept_loop();
  }).detach();
}

}  // namespace

int run_tray_application() {
  end_on_stop_signals();  // a logout or a service manager's stop: the same wind-down as Quit
  std::unique_ptr<platform::TrayToolkit> toolkit = platform::make_tray_toolkit();
  if (!toolkit) {
    log_message("%s", kNoDesktop);
    return 1;
  }
  if (!platform::claim_tray_instance()) {
    // A person at a terminal reads it there; a box would hold the terminal until clicked.
    log_message("%s", kAlreadyRunning);
    if (!platform::started_from_terminal()) {
      toolkit->message_box(kAlreadyRunning, kProductName, platform::MessageIcon::Information,
                           platform::MessageButtons::Ok);
    }
    return 0;
  }
  log_message("Tolvi Host starting (x64)");
  SettingsStore& settings = default_settings();
  const bool service_mode = settings.is_installed() && platform::is_service_installed();
  std::shared_ptr<HostEnvironment> environment;
  if (!service_mode) {
    settings.load_password();  // made now, before any client can connect
    environment = make_default_host_environment();
  }

  TrayCommandContext commands;
  commands.toolkit = toolkit.get();
  commands.settings = &settings;
  commands.service_mode = service_mode;
  commands.run_elevated = platform::run_elevated;
  // The process-wide controller: it knows every mode and scaling change this process made.
  commands.restore_display = [] { display_controller.restore(); };
  commands.log_file_path = log_file_path;
  commands.machine_log_file_path = machine_log_file_path;
  // Quit ends the process itself, as the menu's command has it, rather than asking the message
  // loop: the password dialog's loop may be the one running, and the host server's threads are
  // detached. The session is wound down first, so that a client is not left mid-stream.
  commands.quit = [] { end_process_after_wind_down(); };
  commands.generate_password = new_secure_password;
  commands.read_password_elevated = password_through_elevation;
  toolkit->on_session_end(commands.restore_display);
  TrayApplication tray(commands, platform::is_service_running, platform::local_ipv4_addresses);
  tray.start();
  if (!service_mode) start_host_server(environment);

  toolkit->run();
  commands.restore_display();
  toolkit->remove_icon();
  // The host server's threads are detached: end here rather than run exit handlers under them.
  platform::exit_process(0);
}

int change_password_with_dialog() {
  std::unique_ptr<platform::TrayToolkit> toolkit = platform::make_tray_toolkit();
  if (!toolkit) {
    log_message("%s", kNoDesktop);
    return 1;
  }
  return change_password_with_form(*toolkit, default_settings(), new_secure_password) ? 0 : 1;
}

}  // namespace tolvi
