#pragma once
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/random.h"

namespace tolvi::testing {

// Registry keys for one test: a product key and a Run key under a random folder of
// "Software\TolviHostTest" in HKLM and HKCU, removed afterwards. Tests never touch the
// product's own keys and may run side by side.
class TestRegistryKeys {
 public:
  static constexpr wchar_t kParent[] = L"Software\\TolviHostTest";

  TestRegistryKeys() {
    std::uint8_t id[8] = {};
    random_bytes(id, sizeof id);
    wchar_t hex[2 * sizeof id + 1] = {};
    for (std::size_t i = 0; i < sizeof id; ++i) std::swprintf(hex + 2 * i, 3, L"%02x", id[i]);
    root = std::wstring(kParent) + L"\\" + hex;
    product = root + L"\\Product";
    run = root + L"\\Run";
  }
  ~TestRegistryKeys() {
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
      RegDeleteTreeW(hive, root.c_str());
      RegDeleteKeyW(hive, kParent);  // only succeeds once no other test's keys are left
    }
  }
  TestRegistryKeys(const TestRegistryKeys&) = delete;
  TestRegistryKeys& operator=(const TestRegistryKeys&) = delete;

  // Windows always has a Run key; the test one exists only once a test makes it.
  void create_run_key(HKEY hive) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(hive, run.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) == ERROR_SUCCESS) {
      RegCloseKey(key);
    }
  }

  static bool key_exists(HKEY hive, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }

  std::wstring root, product, run;
};

}  // namespace tolvi::testing
