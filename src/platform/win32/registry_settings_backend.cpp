#include "platform/win32/registry_settings_backend.h"

#include <windows.h>
// windows.h first: dpapi.h needs its types.
#include <dpapi.h>

#include "platform/text.h"
#include "platform/win32/registry_key.h"
#include "platform/win32/wide_text.h"

namespace tolvi {
namespace platform {
namespace {

// 64-bit registry view for every key, whatever the bitness of the process.
constexpr DWORD kReadView = RRF_SUBKEY_WOW6464KEY;
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_WOW64_64KEY;

// A value that grows between the size call and the read is read again, a few times.
constexpr int kReadAttempts = 3;

constexpr wchar_t kProtectDescription[] = L"Tolvi Host password";

HKEY hive_of(SettingsScope scope) {
  return scope == SettingsScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// The value's data as units of Buffer (a byte vector, or UTF-16 text), with the type check of
// `type_flag`; nothing when the key or value is missing, has another type or cannot be read.
template <typename Buffer>
std::optional<Buffer> read_value(HKEY hive, const std::wstring& key, const std::wstring& name,
                                 DWORD type_flag) {
  using Unit = typename Buffer::value_type;
  const DWORD flags = type_flag | kReadView;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    DWORD bytes = 0;
    if (RegGetValueW(hive, key.c_str(), name.c_str(), flags, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    Buffer buffer((bytes + sizeof(Unit) - 1) / sizeof(Unit), Unit{});  // zero-filled
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(Unit));
    const LSTATUS status =
        RegGetValueW(hive, key.c_str(), name.c_str(), flags, nullptr, buffer.data(), &got);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return std::nullopt;
    buffer.resize(got / sizeof(Unit));
    return buffer;
  }
  return std::nullopt;
}

// Creates the key when missing and sets one value. The first failure is the result.
ErrorCode write_value(HKEY hive, const std::wstring& key, const std::wstring& name, DWORD type,
                      const void* data, std::size_t bytes) {
  if (bytes > MAXDWORD) return kErrorInvalidData;
  RegKey opened;
  LSTATUS status = RegCreateKeyExW(hive, key.c_str(), 0, nullptr, 0, kWriteAccess, nullptr,
                                   &opened.handle, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(opened.handle, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(bytes));
  const LSTATUS closed = opened.close();
  return status != ERROR_SUCCESS ? status : closed;
}

// UTF-16 with its terminator, as REG_SZ data is stored.
ErrorCode write_text_value(HKEY hive, const std::wstring& key, const std::wstring& name,
                           std::string_view text) {
  const std::u16string units = to_utf16(text);
  return write_value(hive, key, name, REG_SZ, units.c_str(), (units.size() + 1) * sizeof(char16_t));
}

std::optional<std::string> read_text_value(HKEY hive, const std::wstring& key,
                                           const std::wstring& name) {
  const auto units = read_value<std::u16string>(hive, key, name, RRF_RT_REG_SZ);
  if (!units) return std::nullopt;
  return to_utf8(*units);  // up to the terminator
}

// Copies a buffer DPAPI allocated and releases it, wiping it first: it may hold a secret.
std::vector<std::uint8_t> take_blob(DATA_BLOB& blob) {
  std::vector<std::uint8_t> bytes(blob.pbData, blob.pbData + blob.cbData);
  SecureZeroMemory(blob.pbData, blob.cbData);
  LocalFree(blob.pbData);
  blob = DATA_BLOB{};
  return bytes;
}

DATA_BLOB input_blob(const std::vector<std::uint8_t>& bytes) {
  return DATA_BLOB{static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

}  // namespace

std::optional<std::uint32_t> RegistrySettingsBackend::read_dword(SettingsScope scope,
                                                                 std::string_view name) {
  DWORD value = 0;
  DWORD bytes = sizeof value;
  if (RegGetValueW(hive_of(scope), product_key_.c_str(), to_wide(name).c_str(),
                   RRF_RT_REG_DWORD | kReadView, nullptr, &value, &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::vector<std::uint8_t>> RegistrySettingsBackend::read_binary(
    SettingsScope scope, std::string_view name) {
  return read_value<std::vector<std::uint8_t>>(hive_of(scope), product_key_, to_wide(name),
                                               RRF_RT_REG_BINARY);
}

std::optional<std::string> RegistrySettingsBackend::read_text(SettingsScope scope,
                                                              std::string_view name) {
  return read_text_value(hive_of(scope), product_key_, to_wide(name));
}

ErrorCode RegistrySettingsBackend::write_dword(SettingsScope scope, std::string_view name,
                                               std::uint32_t value) {
  const DWORD data = value;
  return write_value(hive_of(scope), product_key_, to_wide(name), REG_DWORD, &data, sizeof data);
}

ErrorCode RegistrySettingsBackend::write_binary(SettingsScope scope, std::string_view name,
                                                const std::vector<std::uint8_t>& value) {
  return write_value(hive_of(scope), product_key_, to_wide(name), REG_BINARY, value.data(),
                     value.size());
}

ErrorCode RegistrySettingsBackend::write_text(SettingsScope scope, std::string_view name,
                                              std::string_view value) {
  return write_text_value(hive_of(scope), product_key_, to_wide(name), value);
}

ErrorCode RegistrySettingsBackend::delete_all(SettingsScope scope) {
  return RegDeleteTreeW(hive_of(scope), product_key_.c_str());
}

std::optional<std::string> RegistrySettingsBackend::read_run_entry(SettingsScope scope) {
  return read_text_value(hive_of(scope), run_key_, kRunValue);
}

ErrorCode RegistrySettingsBackend::write_run_entry(SettingsScope scope,
                                                   const std::optional<std::string>& command) {
  // The Run key belongs to Windows: it is opened, never created.
  RegKey run;
  LSTATUS status = RegOpenKeyExW(hive_of(scope), run_key_.c_str(), 0, kWriteAccess, &run.handle);
  if (status != ERROR_SUCCESS) return status;
  if (command) {
    const std::u16string units = to_utf16(*command);
    status = RegSetValueExW(run.handle, kRunValue, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(units.c_str()),
                            static_cast<DWORD>((units.size() + 1) * sizeof(char16_t)));
  } else {
    status = RegDeleteValueW(run.handle, kRunValue);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;  // already off
  }
  const LSTATUS closed = run.close();
  return status != ERROR_SUCCESS ? status : closed;
}

std::optional<std::vector<std::uint8_t>> RegistrySettingsBackend::protect(
    SettingsScope scope, const std::vector<std::uint8_t>& plain) {
  if (plain.size() > MAXDWORD) return std::nullopt;
  // Machine scope: any account of this PC can open the blob (the service, its agent and the
  // tray of whoever is signed in); user scope: only this user.
  DWORD flags = CRYPTPROTECT_UI_FORBIDDEN;
  if (scope == SettingsScope::Machine) flags |= CRYPTPROTECT_LOCAL_MACHINE;
  DATA_BLOB in = input_blob(plain);
  DATA_BLOB out{};
  if (!CryptProtectData(&in, kProtectDescription, nullptr, nullptr, nullptr, flags, &out)) {
    return std::nullopt;
  }
  return take_blob(out);
}

std::optional<std::vector<std::uint8_t>> RegistrySettingsBackend::unprotect(
    const std::vector<std::uint8_t>& blob) {
  if (blob.empty() || blob.size() > MAXDWORD) return std::nullopt;
  DATA_BLOB in = input_blob(blob);
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &out)) {
    return std::nullopt;
  }
  return take_blob(out);
}

}  // namespace platform

std::unique_ptr<SettingsBackend> make_settings_backend(UnreadableLineNotice) {
  return std::make_unique<platform::RegistrySettingsBackend>();
}

}  // namespace tolvi
