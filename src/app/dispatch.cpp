#include "app/dispatch.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "app/command_line.h"
#include "app/media_selftest.h"
#include "app/modes.h"
#include "app/process_wide.h"
#include "base/log.h"
#include "base/product.h"
#include "base/run_mode.h"
#include "base/secure_zero.h"
#include "base/thread_start.h"
#include "display/display_controller.h"
#include "platform/process.h"
#include "settings/settings_store.h"

namespace tolvi {
namespace {

constexpr auto kTestHostLifetime = std::chrono::milliseconds(600000);

constexpr char kUsage[] =
    "Usage: tolvi-host [option]\n"
    "  (no option)                   run the tray application and the host\n"
    "  --test-host PORT PASSWORD     run the host on PORT with PASSWORD for 10 minutes\n"
    "  --agent                       run the host for the service in the console session\n"
    "  --service                     run as the system service\n"
    "  --set-match 1|0               allow or forbid matching the client's resolution\n"
    "  --get-scale, --set-scale N    show or set the primary display's scaling (percent)\n"
    "  --password-dialog             set the password\n"
    "  --show-password               print the password (made first when there is none)\n"
    "  --install, --uninstall [--quiet]\n"
    "  --test-run-as-user            drive-mapping diagnostic\n"
    "  --selftest-media              try capture, conversion and the encoders; print each step\n"
    "  --help, --version\n";

constexpr char kSeeHelp[] = "Try 'tolvi-host --help' for the options.\n";
constexpr int kUsageExitCode = 2;

bool has_exact_argument(const char* option) {
  for (const std::string& arg : platform::split_command_line(raw_command_line())) {
    if (arg == option) return true;
  }
  return false;
}

void set_mode(RunMode mode) { run_mode.store(mode); }

}  // namespace

int run_test_host() {
  const TestHostArguments args =
      parse_test_host_arguments(platform::split_command_line(raw_command_line()));
  port_override = args.port;
  password_override = args.password;
  if (port_override == 0 || password_override.size() < kMinTestPasswordBytes) {
    log_message("test host: needs a port (1-65535) and a password of at least %zu bytes",
                kMinTestPasswordBytes);
    return 2;
  }
  watch_for_stop_signals();  // before the watchdog: threads inherit the blocked signals
  // A forgotten test host ends itself.
  start_thread([] {
    std::this_thread::sleep_for(kTestHostLifetime);
    display_controller.restore();
    platform::exit_process(0);
  }).detach();
  return run_host_for_test();
}

int dispatch_command_line() {
  if (command_line_has("--service")) {
    set_mode(RunMode::Service);
    return run_service();
  }
  if (command_line_has("--agent")) {
    set_mode(RunMode::Agent);
    return run_agent();
  }
  if (command_line_has("--test-host")) {
    set_mode(RunMode::Command);
    return run_test_host();
  }
  if (command_line_has("--test-run-as-user")) {
    set_mode(RunMode::Command);
    return run_drive_mapping_diagnostic();
  }
  if (command_line_has("--selftest-media")) {
    set_mode(RunMode::Command);
    return run_media_selftest();
  }
  if (command_line_has("--install")) {
    set_mode(RunMode::Command);
    return install_host(command_line_has("--quiet"));
  }
  if (command_line_has("--uninstall")) {
    set_mode(RunMode::Command);
    return uninstall_host(command_line_has("--quiet"));
  }
  if (command_line_has("--password-dialog")) {
    set_mode(RunMode::Command);
    return change_password_with_dialog();
  }
  if (command_line_has("--set-match")) {
    set_mode(RunMode::Command);
    // Only the exact text "--set-match 1" switches matching on (so does "--set-match 10").
    default_settings().set_allow_resolution_change(command_line_has("--set-match 1"));
    return 0;
  }
  if (command_line_has("--show-password")) {
    // For people without a tray: what the tray's "Show Password" shows, made first if needed.
    set_mode(RunMode::Command);
    std::string password = default_settings().load_password();
    if (password.empty()) {
      std::fputs("tolvi-host: no password is set; set one with tolvi-host --password-dialog\n",
                 stderr);
      return 1;
    }
    std::printf("%s\n", password.c_str());
    secure_zero(password.data(), password.size());
    return 0;
  }
  return -1;
}

int process_entry(std::string raw) {
  set_raw_command_line(std::move(raw));
  platform::set_dpi_awareness();
  // A mistyped option would otherwise start the tray, and a wrong number a host on another
  // port: say what was wrong instead.
  const std::string mistake =
      command_line_mistake(platform::split_command_line(raw_command_line()));
  if (!mistake.empty()) {
    std::fprintf(stderr, "tolvi-host: %s\n%s", mistake.c_str(), kSeeHelp);
    return kUsageExitCode;
  }
  if (command_line_has("--set-scale") || command_line_has("--get-scale")) {
    return run_scaling_command();
  }
  // Whole arguments only, so a password that merely contains "--help" is not taken for it.
  if (has_exact_argument("--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (has_exact_argument("--version")) {
    std::printf("%s\n", kVersionText);
    return 0;
  }
  const int rc = dispatch_command_line();
  if (rc >= 0) return rc;
  return run_tray_application();
}

}  // namespace tolvi
