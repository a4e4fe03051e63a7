#pragma once
#include <cstddef>
#include <cwchar>
#include <string_view>

namespace tolvi::platform {

// Whether `device` is the name held in a fixed-size field of a display-configuration packet
// (viewGdiDeviceName, 32 units). The field ends at its first NUL, or fills all its units
// without one: it must never be read past its end.
template <std::size_t N>
bool is_gdi_device_name(std::wstring_view device, const wchar_t (&field)[N]) {
  return device == std::wstring_view(field, wcsnlen(field, N));
}

}  // namespace tolvi::platform
