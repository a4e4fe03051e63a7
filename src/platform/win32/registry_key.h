#pragma once
#include <windows.h>

namespace tolvi::platform {

// An open registry key, closed when it goes out of scope unless close() reported already.
// RegOpenKeyExW and RegCreateKeyExW write into `handle`.
struct RegKey {
  HKEY handle = nullptr;
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() { close(); }
  LSTATUS close() {
    const LSTATUS status = handle ? RegCloseKey(handle) : ERROR_SUCCESS;
    handle = nullptr;
    return status;
  }
};

}  // namespace tolvi::platform
