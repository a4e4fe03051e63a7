#include "settings/settings_store.h"

#include <algorithm>
#include <atomic>

#include "base/log.h"
#include "base/run_mode.h"
#include "base/secure_zero.h"
#include "platform/random.h"
#include "platform/text.h"

namespace tolvi {

std::string password_override;
std::uint16_t port_override = 0;
std::mutex settings_mutex;

namespace {

constexpr char kInstalled[] = "Installed";
constexpr char kPassword[] = "Password";
constexpr char kIdentity[] = "Identity";
constexpr char kPort[] = "Port";
constexpr char kAllowResolutionChange[] = "AllowResolutionChange";
constexpr char kStatus[] = "Status";
constexpr char kPreviousSecureAttentionPolicy[] = "PrevSoftwareSASGeneration";

// A status line must fit 256 UTF-16 units including its terminator.
constexpr std::size_t kMaxStatusUnits = 255;

constexpr char kPasswordAlphabet[] = "abcdefghjkmnpqrstuvwxyz23456789";
constexpr std::size_t kPasswordAlphabetSize = sizeof kPasswordAlphabet - 1;  // 31

std::vector<std::uint8_t> bytes_of(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The secrets and the status route of an agent that runs as the signed-in person.
struct HandedOver {
  std::mutex lock;
  bool active = false;
  std::string password;
  SecretArray<kIdentityKeyBytes> identity;
  std::function<void(const std::string&)> send_status;
};

HandedOver& handed_over() {
  static HandedOver handed;
  return handed;
}

}  // namespace

void use_handed_secrets(const std::string& password,
                        const std::uint8_t (&identity)[kIdentityKeyBytes],
                        std::function<void(const std::string&)> send_status) {
  HandedOver& handed = handed_over();
  std::lock_guard<std::mutex> guard(handed.lock);
  secure_zero(handed.password.data(), handed.password.size());
  handed.password = password;
  std::copy(identity, identity + kIdentityKeyBytes, handed.identity.bytes);
  handed.send_status = std::move(send_status);
  handed.active = true;
}

bool secrets_handed_over() {
  HandedOver& handed = handed_over();
  std::lock_guard<std::mutex> guard(handed.lock);
  return handed.active;
}

std::string generate_password() {
  std::uint8_t random[kPasswordLength] = {};
  random_bytes(random, sizeof random);
  std::string password(kPasswordLength, ' ');
  for (std::size_t i = 0; i < kPasswordLength; ++i) {
    password[i] = kPasswordAlphabet[random[i] % kPasswordAlphabetSize];
  }
  secure_zero(random, sizeof random);
  return password;
}

bool SettingsStore::is_installed() {
  const auto installed = backend_.read_dword(SettingsScope::Machine, kInstalled);
  return installed && *installed == 1;
}

SettingsScope SettingsStore::settings_scope() {
  return is_installed() ? SettingsScope::Machine : SettingsScope::User;
}

std::optional<std::vector<std::uint8_t>> SettingsStore::protect_secret(
    const std::vector<std::uint8_t>& bytes, bool machine_scope) {
  return backend_.protect(machine_scope ? SettingsScope::Machine : SettingsScope::User, bytes);
}

std::optional<std::vector<std::uint8_t>> SettingsStore::read_protected_value(SettingsScope scope,
                                                                             const char* name) {
  const auto blob = backend_.read_binary(scope, name);
  if (!blob || blob->empty()) return std::nullopt;
  return backend_.unprotect(*blob);
}

std::string SettingsStore::load_password() {
  if (!password_override.empty()) return password_override;
  {
    HandedOver& handed = handed_over();
    std::lock_guard<std::mutex> guard(handed.lock);
    if (handed.active) return handed.password;
  }
  bool stored_but_unreadable = false;
  {
    std::lock_guard<std::mutex> guard(settings_mutex);
    const SettingsScope scope = settings_scope();
    const auto blob = backend_.read_binary(scope, kPassword);
    const bool stored = blob && !blob->empty();
    auto plain = stored ? backend_.unprotect(*blob) : std::nullopt;
    if (plain && !plain->empty()) {
      std::string password(plain->begin(), plain->end());
      secure_zero(plain->data(), plain->size());
      opened_password_ = *blob;
      return password;
    }
    stored_but_unreadable = stored && !plain;
  }
  // An installed host's tray application never creates the machine password: installation
  // stores one and the agent makes a new one when it finds none. A machine password that is
  // there but cannot be opened is the one the owner gave to their clients: it is never replaced
  // behind their back, and the host refuses every client until someone sets one.
  if (is_installed() && (run_mode.load() == RunMode::Tray || stored_but_unreadable)) {
    return std::string();
  }
  std::string password = generate_password();
  if (!save_password(password)) {
    // A password nobody can read back would differ at every handshake: none at all is honest.
    secure_zero(password.data(), password.size());
    static std::atomic<bool> told{false};  // the tray asks every few seconds
    if (!told.exchange(true)) {
      log_message("cannot store a new password: clients are refused until one is set");
    }
    return std::string();
  }
  log_message("generated a new password (see tray menu)");
  return password;
}

bool SettingsStore::has_password() {
  if (!password_override.empty()) return true;
  {
    std::lock_guard<std::mutex> guard(settings_mutex);
    const auto blob = backend_.read_binary(settings_scope(), kPassword);
    if (blob && !blob->empty() && *blob == opened_password_) return true;
  }
  std::string password = load_password();
  const bool present = !password.empty();
  secure_zero(password.data(), password.size());
  return present;
}

bool SettingsStore::save_password(const std::string& text) {
  if (text.empty()) return false;  // an empty password would let anyone in
  std::lock_guard<std::mutex> guard(settings_mutex);
  const SettingsScope scope = settings_scope();
  SecretBytes plain{bytes_of(text)};
  const auto blob = protect_secret(plain.bytes, scope == SettingsScope::Machine);
  if (!blob) return false;
  return backend_.write_binary(scope, kPassword, *blob) == kErrorSuccess;
}

std::uint16_t SettingsStore::load_port() {
  if (port_override != 0) return port_override;
  const auto port = backend_.read_dword(settings_scope(), kPort);
  return port ? static_cast<std::uint16_t>(*port & 0xFFFF) : kDefaultPort;
}

bool SettingsStore::load_identity_key(std::uint8_t key[kIdentityKeyBytes]) {
  {
    HandedOver& handed = handed_over();
    std::lock_guard<std::mutex> guard(handed.lock);
    if (handed.active) {
      std::copy(handed.identity.bytes, handed.identity.bytes + kIdentityKeyBytes, key);
      return true;
    }
  }
  std::lock_guard<std::mutex> guard(settings_mutex);
  if (read_identity_key(key)) return true;
  // Missing, unreadable or the wrong length: a new key replaces it. If storing fails the key
  // still serves this handshake and the next one makes another.
  create_identity_key(key);
  return true;
}

bool SettingsStore::load_identity_key_steadily(std::uint8_t key[kIdentityKeyBytes]) {
  std::lock_guard<std::mutex> guard(settings_mutex);
  if (read_identity_key(key)) {
    have_unstored_identity_ = false;
    return true;
  }
  if (!have_unstored_identity_) {
    if (create_identity_key(unstored_identity_.bytes)) {
      std::copy(unstored_identity_.bytes, unstored_identity_.bytes + kIdentityKeyBytes, key);
      return true;
    }
    have_unstored_identity_ = true;
  }
  std::copy(unstored_identity_.bytes, unstored_identity_.bytes + kIdentityKeyBytes, key);
  return true;
}

bool SettingsStore::read_identity_key(std::uint8_t key[kIdentityKeyBytes]) {
  if (auto plain = read_protected_value(settings_scope(), kIdentity)) {
    SecretBytes stored{std::move(*plain)};
    if (stored.bytes.size() == kIdentityKeyBytes) {
      std::copy(stored.bytes.begin(), stored.bytes.end(), key);
      return true;
    }
  }
  return false;
}

bool SettingsStore::create_identity_key(std::uint8_t key[kIdentityKeyBytes]) {
  const SettingsScope scope = settings_scope();
  random_bytes(key, kIdentityKeyBytes);
  SecretBytes fresh{std::vector<std::uint8_t>(key, key + kIdentityKeyBytes)};
  bool stored = false;
  if (const auto blob = protect_secret(fresh.bytes, scope == SettingsScope::Machine)) {
    stored = backend_.write_binary(scope, kIdentity, *blob) == kErrorSuccess;
  }
  log_message("created host identity key");
  return stored;
}

bool SettingsStore::allow_resolution_change() {
  const auto value = backend_.read_dword(settings_scope(), kAllowResolutionChange);
  return !value || *value != 0;
}

ErrorCode SettingsStore::set_allow_resolution_change(bool on) {
  return backend_.write_dword(settings_scope(), kAllowResolutionChange, on ? 1 : 0);
}

std::string SettingsStore::load_status() {
  const auto text = backend_.read_text(SettingsScope::Machine, kStatus);
  if (!text || to_utf16(*text).size() > kMaxStatusUnits) return std::string();
  return to_utf8(to_utf16(*text));
}

void SettingsStore::save_status(const std::string& text) {
  std::function<void(const std::string&)> send;
  {
    HandedOver& handed = handed_over();
    std::lock_guard<std::mutex> guard(handed.lock);
    if (handed.active) send = handed.send_status;
  }
  if (send) {
    send(text);
    return;
  }
  backend_.write_text(SettingsScope::Machine, kStatus, to_utf8(to_utf16(text)));
}

bool SettingsStore::start_at_login() {
  return backend_.read_run_entry(settings_scope()).has_value();
}

ErrorCode SettingsStore::set_start_at_login(bool on) {
  std::optional<std::string> command;
  if (on) {
    // Quoted, so a path with blanks starts as one program.
    command.emplace(1, '"');
    command->append(to_utf8(module_path())).push_back('"');
  }
  return backend_.write_run_entry(settings_scope(), command);
}

void SettingsStore::migrate_settings_for_install() {
  // 1. The password: the machine's, else the user's, else a new one.
  SecretBytes password;
  if (auto plain = read_protected_value(SettingsScope::Machine, kPassword);
      plain && !plain->empty()) {
    password.bytes = std::move(*plain);
  } else if (auto user = read_protected_value(SettingsScope::User, kPassword);
             user && !user->empty()) {
    password.bytes = std::move(*user);
  } else {
    password.bytes = bytes_of(generate_password());
  }
  // 2. The match setting: the user's number, else the machine's, else on.
  std::uint32_t match = 1;
  if (auto user = backend_.read_dword(SettingsScope::User, kAllowResolutionChange)) {
    match = *user;
  } else if (auto machine = backend_.read_dword(SettingsScope::Machine, kAllowResolutionChange)) {
    match = *machine;
  }
  // 3. From here on the machine scope is the settings scope.
  backend_.write_dword(SettingsScope::Machine, kInstalled, 1);
  // 4. The password, re-protected for every account of the machine.
  if (const auto blob = protect_secret(password.bytes, true)) {
    backend_.write_binary(SettingsScope::Machine, kPassword, *blob);
  }
  // 5. The identity: a valid machine key stays; else the user's moves over; else the agent
  //    makes one at its first handshake.
  auto machine_identity = read_protected_value(SettingsScope::Machine, kIdentity);
  SecretBytes machine_key{machine_identity ? std::move(*machine_identity)
                                           : std::vector<std::uint8_t>()};
  if (machine_key.bytes.size() != kIdentityKeyBytes) {
    auto user_identity = read_protected_value(SettingsScope::User, kIdentity);
    SecretBytes user_key{user_identity ? std::move(*user_identity) : std::vector<std::uint8_t>()};
    if (user_key.bytes.size() == kIdentityKeyBytes) {
      if (const auto blob = protect_secret(user_key.bytes, true)) {
        backend_.write_binary(SettingsScope::Machine, kIdentity, *blob);
      }
    }
  }
  // 6. The match setting in the machine scope.
  backend_.write_dword(SettingsScope::Machine, kAllowResolutionChange, match);
  // 7. The per-user start of the tray application gives way to the machine-wide one.
  backend_.write_run_entry(SettingsScope::User, std::nullopt);
}

ErrorCode SettingsStore::remove_settings() {
  backend_.delete_all(SettingsScope::Machine);
  return backend_.write_run_entry(SettingsScope::Machine, std::nullopt);
}

ErrorCode SettingsStore::set_machine_start_entry(const std::string& command) {
  return backend_.write_run_entry(SettingsScope::Machine, command);
}

void SettingsStore::save_previous_secure_attention_policy(std::uint32_t value) {
  backend_.write_dword(SettingsScope::Machine, kPreviousSecureAttentionPolicy, value);
}

std::uint32_t SettingsStore::load_previous_secure_attention_policy() {
  return backend_.read_dword(SettingsScope::Machine, kPreviousSecureAttentionPolicy)
      .value_or(kNoPreviousSecureAttentionPolicy);
}

}  // namespace tolvi
