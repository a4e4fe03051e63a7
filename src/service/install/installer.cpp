#include "service/install/installer.h"

#include "base/log.h"
#include "platform/text.h"
#include "service/install/install_rules.h"

namespace tolvi {
namespace {

using namespace std::chrono_literals;

// Other copies have been told to end; give them a moment to let go of the executable.
constexpr auto kPauseAfterEndingCopies = 500ms;
// Recovery: restart after 2, 5 and 10 seconds; the failure count resets after an hour.
const std::vector<std::chrono::milliseconds> kRestartDelays{2000ms, 5000ms, 10000ms};
constexpr std::chrono::seconds kFailureResetPeriod{3600};

// "SoftwareSASGeneration": 1 lets services raise it, 3 services and ease-of-access programs.
constexpr std::uint32_t kPolicyServices = 1;
constexpr std::uint32_t kPolicyServicesAndEaseOfAccess = 3;

constexpr char kMessageNoServiceManager[] = "Could not open the Service Control Manager.";
constexpr char kMessageCopyFailed[] = "Could not copy to ";
constexpr char kMessageCreateFailed[] = "Could not create the service.";
constexpr char kMessageInstalled[] =
    "Tolvi Host is installed as a service. It now runs at the sign-in screen and lock screen.";
constexpr char kMessageInstalledNotStarted[] =
    "Tolvi Host is installed as a service, but the service did not start. See the log.";
constexpr char kMessageInstalledAtNextBoot[] =
    "Tolvi Host is installed as a service. No service manager runs here now: it starts at the "
    "next boot.";
constexpr char kMessageRemoved[] = "The Tolvi Host service has been removed.";

// Not elevated: 5 with `quiet`, else the elevated copy's outcome ("--quiet" is not passed on).
int without_elevation(platform::Installer& system, bool quiet, const char* option) {
  if (quiet) return kInstallNotElevated;
  return system.run_elevated(option) ? kInstallSucceeded : kInstallFailed;
}

void cancel_earlier_pending_deletes(platform::Installer& system) {
  const auto stored = system.read_pending_renames();
  if (!stored || stored->empty()) return;
  const PendingRenameEdit edit =
      cancel_pending_deletes(*stored, to_utf16(system.install_directory()));
  if (!edit.dropped) return;
  std::optional<std::u16string> rest;
  if (!edit.remaining.empty()) rest = join_pending_renames(edit.remaining);
  if (!system.write_pending_renames(rest)) return;
  log_message("cancelled a pending delete of the previous install");
}

void allow_services_to_raise_secure_attention(platform::Installer& system,
                                              SettingsStore& settings) {
  if (!system.has_secure_attention_policy()) return;
  const std::uint32_t previous =
      system.read_secure_attention_policy().value_or(kNoPreviousSecureAttentionPolicy);
  settings.save_previous_secure_attention_policy(previous);
  if (previous != kPolicyServices && previous != kPolicyServicesAndEaseOfAccess) {
    system.write_secure_attention_policy(kPolicyServices);
  }
}

void restore_secure_attention_policy(platform::Installer& system, SettingsStore& settings) {
  if (!system.has_secure_attention_policy()) return;
  const std::uint32_t previous = settings.load_previous_secure_attention_policy();
  if (previous == kNoPreviousSecureAttentionPolicy) {
    system.write_secure_attention_policy(std::nullopt);
  } else {
    system.write_secure_attention_policy(previous);
  }
}

}  // namespace

int install_host(platform::Installer& system, SettingsStore& settings, bool quiet) {
  if (!system.is_elevated()) return without_elevation(system, quiet, "--install");
  const auto fail = [&](const std::string& message) {
    if (!quiet) system.show_message(message, true);
    return kInstallFailed;
  };
  system.begin_changes();
  if (!system.open_service_manager()) {
    system.end_changes(false);
    return fail(kMessageNoServiceManager);
  }
  // An earlier installation's service and every running copy go first.
  system.stop_and_delete_service();
  system.terminate_other_copies(is_other_copy_name);
  system.pause(kPauseAfterEndingCopies);
  cancel_earlier_pending_deletes(system);

  system.create_install_directory();
  const std::string executable = system.installed_executable();
  if (!system.runs_installed_executable() &&
      !system.copy_executable(system.running_executable(), executable)) {
    system.close_service_manager();
    system.end_changes(false);
    return fail(kMessageCopyFailed + executable);
  }
  settings.migrate_settings_for_install();

  if (!system.create_service(quoted_command(executable, "--service"))) {
    system.close_service_manager();
    system.end_changes(false);
    return fail(kMessageCreateFailed);
  }
  system.configure_service(kServiceDescription, kRestartDelays, kFailureResetPeriod);
  allow_services_to_raise_secure_attention(system, settings);

  // Delete first, so a reinstallation never leaves two rules.
  system.delete_firewall_rule(kFirewallRuleName);
  system.add_firewall_rule(kFirewallRuleName, executable, settings.load_port());

  system.write_uninstall_entry(
      uninstall_entry_values(system.install_directory(), executable, system.file_size(executable)));
  if (const std::string shortcut = system.shortcut_path(); !shortcut.empty()) {
    system.create_shortcut(shortcut, executable, kProductDescription);
  }
  settings.set_machine_start_entry(quoted_command(executable));

  const platform::ServiceStart start = system.start_service();
  const bool started = start == platform::ServiceStart::Started;
  system.close_service_manager();
  system.end_changes(false);
  log_message("installed service to %s (started: %d)", executable.c_str(), started ? 1 : 0);
  if (start == platform::ServiceStart::NoServiceManager) {
    log_message("no service manager runs here: the service starts at the next boot");
  }
  if (!quiet) {
    system.start_tray_for_user(executable);
    // Says what happened: a service that did not start does not run at the sign-in screen yet.
    switch (start) {
      case platform::ServiceStart::Started:
        system.show_message(kMessageInstalled, false);
        break;
      case platform::ServiceStart::NoServiceManager:
        system.show_message(kMessageInstalledAtNextBoot, false);
        break;
      case platform::ServiceStart::Failed:
        system.show_message(kMessageInstalledNotStarted, true);
        break;
    }
  }
  // Registered for the next boot where no service manager runs counts as installed.
  return start == platform::ServiceStart::Failed ? kInstallFailed : kInstallSucceeded;
}

int uninstall_host(platform::Installer& system, SettingsStore& settings, bool quiet) {
  if (!system.is_elevated()) return without_elevation(system, quiet, "--uninstall");
  system.begin_changes();
  if (system.open_service_manager()) {
    system.stop_and_delete_service();
    system.close_service_manager();
  }
  system.terminate_other_copies(is_other_copy_name);
  system.delete_firewall_rule(kFirewallRuleName);
  // Before the settings go: the previous policy is kept among them.
  restore_secure_attention_policy(system, settings);
  settings.remove_settings();
  system.delete_uninstall_entry();
  if (const std::string shortcut = system.shortcut_path(); !shortcut.empty()) {
    system.delete_file(shortcut);
  }
  system.remove_installed_executable();
  system.remove_install_directory();
  system.end_changes(true);
  log_message("uninstalled service");
  if (!quiet) system.show_message(kMessageRemoved, false);
  return kInstallSucceeded;
}

}  // namespace tolvi
