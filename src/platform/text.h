#pragma once
#include <string>
#include <string_view>

namespace tolvi {

// UTF-16 to UTF-8 and back. Conversion stops at the first NUL. Ill-formed input becomes
// replacement characters (U+FFFD), never an error; an empty or unconvertible text gives "".
std::string to_utf8(std::u16string_view text);
std::u16string to_utf16(std::string_view text);

// Full path of the running executable (UTF-16, as the Windows build keeps paths).
std::u16string module_path();

}  // namespace tolvi
