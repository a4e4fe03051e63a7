#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvi {

// Error codes are Windows system error numbers (0 = success) on every platform.
using ErrorCode = long;
constexpr ErrorCode kErrorSuccess = 0;
constexpr ErrorCode kErrorFileNotFound = 2;
constexpr ErrorCode kErrorAccessDenied = 5;
constexpr ErrorCode kErrorInvalidData = 13;
constexpr ErrorCode kErrorWriteFault = 29;

enum class SettingsScope { Machine, User };

// Persistent storage of the product's named values in two scopes, plus the per-user "start at
// login" entry and the protection of secrets. On Windows: the registry product key in HKLM or
// HKCU and DPAPI; on Linux: one settings file per scope and AES-GCM under a key file per scope.
// Reads that fail (missing value, wrong type, unreadable store) return nothing.
class SettingsBackend {
 public:
  virtual ~SettingsBackend() = default;

  virtual std::optional<std::uint32_t> read_dword(SettingsScope scope, std::string_view name) = 0;
  virtual std::optional<std::vector<std::uint8_t>> read_binary(SettingsScope scope,
                                                               std::string_view name) = 0;
  // Text values are UTF-8 here; the Windows backend stores them as UTF-16 REG_SZ.
  virtual std::optional<std::string> read_text(SettingsScope scope, std::string_view name) = 0;

  // Writes create the product key (or file) when it is missing.
  virtual ErrorCode write_dword(SettingsScope scope, std::string_view name,
                                std::uint32_t value) = 0;
  virtual ErrorCode write_binary(SettingsScope scope, std::string_view name,
                                 const std::vector<std::uint8_t>& value) = 0;
  virtual ErrorCode write_text(SettingsScope scope, std::string_view name,
                               std::string_view value) = 0;
  // Deletes the whole product key (or settings file) of the scope.
  virtual ErrorCode delete_all(SettingsScope scope) = 0;

  // The "start at login" entry of the scope: its stored command text, or nothing.
  virtual std::optional<std::string> read_run_entry(SettingsScope scope) = 0;
  // Sets (a value) or removes (nothing) the entry. Removing a missing entry succeeds.
  virtual ErrorCode write_run_entry(SettingsScope scope,
                                    const std::optional<std::string>& command) = 0;

  // Seals secret bytes so that only this scope's principals can open them again.
  virtual std::optional<std::vector<std::uint8_t>> protect(
      SettingsScope scope, const std::vector<std::uint8_t>& plain) = 0;
  // Opens a blob made by protect() in either scope (the blob records its scope, as DPAPI's
  // does); nothing for a blob from another key, truncated or altered.
  virtual std::optional<std::vector<std::uint8_t>> unprotect(
      const std::vector<std::uint8_t>& blob) = 0;
};

// Told that a line of a settings file cannot be read (the line is kept, only its value is
// missing); at most once per file and process. Stores without lines (the registry) never call it.
using UnreadableLineNotice = std::function<void(const std::string& file, int line)>;

// The backend of this build, for the machine and the current user.
std::unique_ptr<SettingsBackend> make_settings_backend(UnreadableLineNotice notice);

}  // namespace tolvi
