#pragma once
#include <string>
#include <string_view>

#include "platform/text.h"

namespace tolvi::platform {

// The Win32 "W" calls take wchar_t text, which on Windows holds the same UTF-16 units as
// char16_t: these carry the portable conversions over to it.
inline std::wstring to_wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}
inline std::wstring to_wide(std::string_view utf8) { return to_wide(to_utf16(utf8)); }

// UTF-8 of wide text, up to its first NUL.
inline std::string from_wide(std::wstring_view text) {
  return to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

}  // namespace tolvi::platform
