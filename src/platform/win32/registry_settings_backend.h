#pragma once
#include <string>

#include "platform/settings_backend.h"

namespace tolvi::platform {

// Settings on Windows: named values under the product key in HKLM (machine scope) or HKCU
// (user scope), always in the 64-bit registry view; the "start at login" entry is the value
// "Tolvi Host" in the scope's Run key; secrets are DPAPI blobs, in machine scope for values
// every account of the PC must open. Nothing is cached: each call goes to the registry.
class RegistrySettingsBackend final : public SettingsBackend {
 public:
  static constexpr wchar_t kProductKey[] = L"Software\\Teaspoon Forge\\Tolvi Host";
  static constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  static constexpr wchar_t kRunValue[] = L"Tolvi Host";

  RegistrySettingsBackend() : RegistrySettingsBackend(kProductKey, kRunKey) {}
  // Other key paths (relative to HKLM and HKCU), so tests never touch the product's keys.
  RegistrySettingsBackend(std::wstring product_key, std::wstring run_key)
      : product_key_(std::move(product_key)), run_key_(std::move(run_key)) {}

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
  std::wstring product_key_;
  std::wstring run_key_;
};

}  // namespace tolvi::platform
