#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/secure_zero.h"
#include "platform/settings_backend.h"

namespace tolvi {

// Set once by "--test-host" before any server thread starts; they win over the stored values.
extern std::string password_override;  // empty: none
extern std::uint16_t port_override;    // 0: none

// Serialises the password and identity operations within the process. Settings code logs while
// holding it, so it comes before the log lock.
extern std::mutex settings_mutex;

constexpr std::uint16_t kDefaultPort = 5960;
// The status a host without a usable password shows: it refuses every client meanwhile.
constexpr char kNoPasswordStatus[] =
    "No password is set. Choose Set Password\u2026 to let clients in";
constexpr std::size_t kIdentityKeyBytes = 32;
constexpr std::size_t kPasswordLength = 10;
// The recorded secure-attention policy when the system had no value before installation.
constexpr std::uint32_t kNoPreviousSecureAttentionPolicy = 0xFFFFFFFF;

// The product's persistent settings. Nothing is cached: every call reads the store afresh, so
// changes made by another process are seen at the next call (has_password remembers which
// sealed password it opened last, never the password itself). The settings scope is the machine
// when "Installed" there is exactly 1, else the user.
class SettingsStore {
 public:
  explicit SettingsStore(SettingsBackend& backend) : backend_(backend) {}

  bool is_installed();
  std::string load_password();
  // Whether load_password would give a password, as cheaply as the store can say: the stored
  // password is opened only when it differs from the one load_password opened last (a host
  // that makes its own password when it has none still makes it here).
  bool has_password();
  bool save_password(const std::string& text);
  std::uint16_t load_port();
  bool load_identity_key(std::uint8_t key[kIdentityKeyBytes]);
  // For a caller that asks again and again (the service hands the key to its agent every few
  // seconds): like load_identity_key, except that a key made because none could be read, and
  // that could not be stored either, is given out again at the later calls instead of a new
  // one (and a new log line) at each.
  bool load_identity_key_steadily(std::uint8_t key[kIdentityKeyBytes]);
  bool allow_resolution_change();
  ErrorCode set_allow_resolution_change(bool on);
  std::string load_status();
  void save_status(const std::string& text);
  bool start_at_login();
  ErrorCode set_start_at_login(bool on);
  void migrate_settings_for_install();
  ErrorCode remove_settings();
  // The machine-wide start of the tray application at every sign-in (installation).
  ErrorCode set_machine_start_entry(const std::string& command);
  // The secure-attention policy found before installation, kept in the machine settings until
  // removal puts it back; kNoPreviousSecureAttentionPolicy when none was recorded.
  void save_previous_secure_attention_policy(std::uint32_t value);
  std::uint32_t load_previous_secure_attention_policy();

  std::optional<std::vector<std::uint8_t>> protect_secret(const std::vector<std::uint8_t>& bytes,
                                                          bool machine_scope);
  std::optional<std::vector<std::uint8_t>> read_protected_value(SettingsScope scope,
                                                                const char* name);

 private:
  SettingsScope settings_scope();
  // The stored identity key when it can be read and has the right length; settings_mutex held.
  bool read_identity_key(std::uint8_t key[kIdentityKeyBytes]);
  // Fills key with a new identity key and stores it; false when it could not be stored.
  // settings_mutex held.
  bool create_identity_key(std::uint8_t key[kIdentityKeyBytes]);

  SettingsBackend& backend_;
  // The sealed password load_password opened last; guarded by settings_mutex.
  std::vector<std::uint8_t> opened_password_;
  // The key load_identity_key_steadily made and could not store; guarded by settings_mutex.
  SecretArray<kIdentityKeyBytes> unstored_identity_;
  bool have_unstored_identity_ = false;
};

// An agent the service started as the signed-in person (GNOME on Wayland) can neither read the
// machine's secrets nor write its status, which are root's alone: the service hands the secrets
// over and stores the status lines the agent sends back. From the first call on, the password
// and the identity key are the handed ones (an empty password: every client is refused, as
// with one that cannot be read), and save_status goes to `send_status`.
void use_handed_secrets(const std::string& password,
                        const std::uint8_t (&identity)[kIdentityKeyBytes],
                        std::function<void(const std::string&)> send_status);
// Whether use_handed_secrets was called in this process.
bool secrets_handed_over();

// Ten characters from "abcdefghjkmnpqrstuvwxyz23456789" (no i, l, o, 0 or 1).
std::string generate_password();

}  // namespace tolvi
