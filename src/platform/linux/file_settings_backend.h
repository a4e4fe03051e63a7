#pragma once
#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <optional>

#include "platform/linux/settings_file.h"
#include "platform/settings_backend.h"

namespace tolvi::platform {

// Where each scope keeps its settings file, its protection key and its autostart entry.
struct SettingsLocation {
  std::filesystem::path folder;          // holds "settings", its lock and corrupt copies
  std::filesystem::path key_file;        // 32-byte AES-256 key for protect/unprotect
  std::filesystem::path autostart_file;  // the XDG autostart entry ("start at login")
  // The machine scope: its settings file and key are root's alone (0600, the key's folder
  // 0700), and the values every account's tray needs ("Installed", "Port",
  // "AllowResolutionChange", "Status") are copied to "public-settings" (0644) at every write.
  bool shared = false;
  // Set for another account's scope, read on its behalf by a copy running as root (an
  // installation started through pkexec or sudo). Nothing there is created or written and no
  // owner or mode changes; only regular files that account owns are read, never through a link
  // at the last step; the one change made is the removal of its autostart entry, which would
  // otherwise shadow the machine-wide entry of the same name.
  std::optional<uid_t> borrowed_from = std::nullopt;
};

// Settings on Linux: one text file per scope (see settings_file.h), replaced atomically
// (temporary file, fsync, rename) under an flock on "settings.lock" beside it, so concurrent
// writers in different processes never lose each other's values. A write changes only its own
// line: comments, lines that cannot be read and every other value stay as they were. A file
// that is not text at all (NUL bytes) is copied aside ("settings.corrupt-<time>") before the
// first write, which keeps only its readable lines.
// Secrets are sealed with AES-256-GCM under the scope's key file, made on first use.
class FileSettingsBackend final : public SettingsBackend {
 public:
  FileSettingsBackend(SettingsLocation machine, SettingsLocation user,
                      UnreadableLineNotice notice = {});

  // /etc/tolvi-host, /var/lib/tolvi-host/machine.key and /etc/xdg/autostart for the machine
  // (under the install root, see install_root.h);
  // $XDG_CONFIG_HOME/tolvi-host (default ~/.config) and $XDG_CONFIG_HOME/autostart for the user.
  // For a copy running as root on behalf of another account (see elevating_user), the user
  // scope is that account's instead, borrowed (see SettingsLocation::borrowed_from).
  static SettingsLocation default_machine_location();
  static SettingsLocation default_user_location();

  // The account a copy running as root acts for: the number in PKEXEC_UID (set by pkexec),
  // else in SUDO_UID (set by sudo). The first of the two that is set decides; nothing when it
  // is not a number or names root. Only a process whose effective user is root asks.
  static std::optional<uid_t> elevating_user(const char* pkexec_uid, const char* sudo_uid);
  // Where account `uid` keeps its configuration, as far as a copy acting for it can tell: the
  // XDG_CONFIG_HOME (absolute) that the process in `process_folder` (a /proc/<pid> folder)
  // started with, when that process's real user is `uid`; nothing otherwise. pkexec replaces
  // itself with this program, so our parent is the person's own process that asked (the
  // tray); sudo stays our parent with the person as its real user. Both clear the variable for
  // us, and a person who started the installation some other way gets `home`/.config.
  static std::optional<std::filesystem::path> config_home_of_process(
      const std::filesystem::path& process_folder, uid_t uid);
  // The borrowed user scope of account `uid` whose configuration folder is `config_home`.
  static SettingsLocation borrowed_user_location(uid_t uid,
                                                 const std::filesystem::path& config_home);

  std::optional<std::uint32_t> read_dword(SettingsScope scope, std::string_view name) override;
  std::optional<std::vector<std::uint8_t>> read_binary(SettingsScope scope,
                                                       std::string_view name) override;
  std::optional<std::string> read_text(SettingsScope scope, std::string_view name) override;
  ErrorCode write_dword(SettingsScope scope, std::string_view name, std::uint32_t value) override;
  ErrorCode write_binary(SettingsScope scope, std::string_view name,
                         const std::vector<std::uint8_t>& value) override;
  ErrorCode write_text(SettingsScope scope, std::string_view name, std::string_view value) override;
  ErrorCode delete_all(SettingsScope scope) override;
  std::optional<std::string> read_run_entry(SettingsScope scope) override;
  ErrorCode write_run_entry(SettingsScope scope,
                            const std::optional<std::string>& command) override;
  std::optional<std::vector<std::uint8_t>> protect(SettingsScope scope,
                                                   const std::vector<std::uint8_t>& plain) override;
  std::optional<std::vector<std::uint8_t>> unprotect(
      const std::vector<std::uint8_t>& blob) override;

 private:
  const SettingsLocation& location(SettingsScope scope) const;
  SettingsDocument parse_file(SettingsScope scope, std::string_view text);
  std::optional<SettingValue> read_value(SettingsScope scope, std::string_view name);
  ErrorCode write_value(SettingsScope scope, std::string_view name, SettingValue value);

  SettingsLocation machine_;
  SettingsLocation user_;
  UnreadableLineNotice notice_;
  std::atomic<bool> noticed_machine_{false}, noticed_user_{false};
};

}  // namespace tolvi::platform
