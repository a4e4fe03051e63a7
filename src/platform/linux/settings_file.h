#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tolvi::platform {

// The settings file format: plain UTF-8 text, one value per line,
//
//   # comment
//   NAME dword 5960
//   NAME binary 0a1bff        (hex bytes, may be empty)
//   NAME text Connected\n2    (escapes \\ \n \r \t; anything else literal)
//
// Names are letters, digits and '_'. Every line ends with a newline, so a file cut short is
// recognised. Any malformed line, unknown type or repeated name makes the whole file corrupt.
using SettingValue = std::variant<std::uint32_t, std::vector<std::uint8_t>, std::string>;
using SettingsMap = std::map<std::string, SettingValue, std::less<>>;

std::optional<SettingsMap> parse_settings(std::string_view text);
std::string format_settings(const SettingsMap& values);

}  // namespace tolvi::platform
