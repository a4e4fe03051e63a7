#pragma once
#include <string>

namespace tolvi::platform {

// Latin-1 is what X calls STRING, the clipboard's oldest text target.

// The text in Latin-1, as UTF-8.
std::string latin1_to_utf8(const std::string& in);

// UTF-8 as Latin-1; characters Latin-1 has not, and broken sequences, become '?'.
std::string utf8_to_latin1(const std::string& in);

}  // namespace tolvi::platform
