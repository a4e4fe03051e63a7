#include "platform/linux/settings_file.h"

#include <charconv>

namespace tolvi::platform {
namespace {

constexpr char kHeader[] =
    "# Tolvi Host settings. One value per line: NAME TYPE VALUE, TYPE dword (decimal),\n"
    "# binary (hex bytes) or text (UTF-8; \\\\ \\n \\r \\t escaped). Written by tolvi-host.\n";

bool valid_name(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool ok =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<SettingValue> parse_value(std::string_view type, std::string_view value) {
  if (type == "dword") {
    std::uint32_t number = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (ec != std::errc() || end != value.data() + value.size() || value.empty()) {
      return std::nullopt;
    }
    return number;
  }
  if (type == "binary") {
    if (value.size() % 2) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(value.size() / 2);
    for (std::size_t i = 0; i < value.size(); i += 2) {
      const int high = hex_digit(value[i]), low = hex_digit(value[i + 1]);
      if (high < 0 || low < 0) return std::nullopt;
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
  }
  if (type == "text") {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] != '\\') {
        text += value[i];
        continue;
      }
      if (++i == value.size()) return std::nullopt;
      switch (value[i]) {
        case '\\':
          text += '\\';
          break;
        case 'n':
          text += '\n';
          break;
        case 'r':
          text += '\r';
          break;
        case 't':
          text += '\t';
          break;
        default:
          return std::nullopt;
      }
    }
    return text;
  }
  return std::nullopt;
}

}  // namespace

std::optional<SettingsMap> parse_settings(std::string_view text) {
  SettingsMap values;
  if (!text.empty() && text.back() != '\n') return std::nullopt;  // cut short
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.find('\0') != std::string_view::npos) return std::nullopt;
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return std::nullopt;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const std::string_view name = line.substr(0, first);
    const std::string_view type = line.substr(first + 1, second - first - 1);
    auto value = parse_value(type, line.substr(second + 1));
    if (!valid_name(name) || !value || values.count(name)) return std::nullopt;
    values.emplace(std::string(name), std::move(*value));
  }
  return values;
}

std::string format_settings(const SettingsMap& values) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = kHeader;
  for (const auto& [name, value] : values) {
    out += name;
    if (const auto* number = std::get_if<std::uint32_t>(&value)) {
      out += " dword " + std::to_string(*number);
    } else if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value)) {
      out += " binary ";
      for (std::uint8_t b : *bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
      }
    } else {
      out += " text ";
      for (char c : std::get<std::string>(value)) {
        switch (c) {
          case '\\':
            out += "\\\\";
            break;
          case '\n':
            out += "\\n";
            break;
          case '\r':
            out += "\\r";
            break;
          case '\t':
            out += "\\t";
            break;
          default:
            out += c;
        }
      }
    }
    out += '\n';
  }
  return out;
}

}  // namespace tolvi::platform
