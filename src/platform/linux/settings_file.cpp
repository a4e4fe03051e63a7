#include "platform/linux/settings_file.h"

#include <algorithm>
#include <charconv>

namespace tolvi::platform {
namespace {

constexpr std::string_view kHeader[] = {
    "# Tolvi Host settings. One value per line: NAME TYPE VALUE, TYPE dword (decimal),",
    "# binary (hex bytes) or text (UTF-8; \\\\ \\n \\r \\t escaped, \\s for an outer blank).",
};

constexpr std::string_view kBlanks = " \t\r";

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The next blank-separated field of `rest`, which then starts at the field after it.
std::string_view next_field(std::string_view& rest) {
  const std::size_t end = std::min(rest.find_first_of(kBlanks), rest.size());
  const std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end);
  const std::size_t next = rest.find_first_not_of(kBlanks);
  rest.remove_prefix(next == std::string_view::npos ? rest.size() : next);
  return field;
}

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
        case 's':
          text += ' ';
          break;
        default:
          return std::nullopt;
      }
    }
    return text;
  }
  return std::nullopt;
}

std::string format_value(std::string_view name, const SettingValue& value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(name);
  if (const auto* number = std::get_if<std::uint32_t>(&value)) {
    out += " dword " + std::to_string(*number);
  } else if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value)) {
    out += " binary";
    if (!bytes->empty()) out += ' ';
    for (std::uint8_t b : *bytes) {
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  } else {
    const std::string& text = std::get<std::string>(value);
    out += " text";
    if (!text.empty()) out += ' ';
    // Blanks around the line are not part of it, so a text's outer blanks are escaped.
    const std::size_t first_inner = text.find_first_not_of(' ');
    const std::size_t last_inner = text.find_last_not_of(' ');
    for (std::size_t i = 0; i < text.size(); ++i) {
      switch (const char c = text[i]) {
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
        case ' ':
          out +=
              (i < first_inner || last_inner == std::string::npos || i > last_inner) ? "\\s" : " ";
          break;
        default:
          out += c;
      }
    }
  }
  return out;
}

}  // namespace

SettingsDocument SettingsDocument::parse(std::string_view text) {
  SettingsDocument document;
  document.is_text_ = text.find('\0') == std::string_view::npos;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    Line line;
    if (newline == std::string_view::npos) {
      line.text = text;  // a last line without its end (an editor's choice, or a cut file)
      text = {};
    } else {
      const bool crlf = newline > 0 && text[newline - 1] == '\r';
      line.text = text.substr(0, crlf ? newline - 1 : newline);
      line.end = crlf ? "\r\n" : "\n";
      text.remove_prefix(newline + 1);
    }
    std::string_view rest = trim(line.text);
    if (rest.empty() || rest.front() == '#') {
      line.kind = Kind::Note;
    } else {
      const std::string_view name = next_field(rest);
      const std::string_view type = next_field(rest);
      auto value = parse_value(type, rest);
      const bool readable = valid_name(name) && value && line.text.find('\0') == std::string::npos;
      line.kind = readable ? Kind::Value : Kind::Unreadable;
      if (readable) {
        line.name = name;
        line.value = std::move(*value);
      }
    }
    document.lines_.push_back(std::move(line));
  }
  return document;
}

std::optional<SettingValue> SettingsDocument::find(std::string_view name) const {
  for (auto line = lines_.rbegin(); line != lines_.rend(); ++line) {
    if (line->kind == Kind::Value && line->name == name) return line->value;
  }
  return std::nullopt;
}

void SettingsDocument::set(std::string_view name, SettingValue value) {
  for (auto line = lines_.rbegin(); line != lines_.rend(); ++line) {
    if (line->kind == Kind::Value && line->name == name) {
      line->text = format_value(name, value);
      line->value = std::move(value);
      return;
    }
  }
  // New lines follow the file's line ends, so a file kept with CR LF stays that way.
  std::string end = "\n";
  for (auto line = lines_.rbegin(); line != lines_.rend(); ++line) {
    if (!line->end.empty()) {
      end = line->end;
      break;
    }
  }
  if (lines_.empty()) {
    for (std::string_view header : kHeader) {
      lines_.push_back({std::string(header), end, Kind::Note, {}, {}});
    }
  } else if (lines_.back().end.empty()) {
    lines_.back().end = end;
  }
  lines_.push_back({format_value(name, value), end, Kind::Value, std::string(name), value});
}

std::string SettingsDocument::format() const {
  std::string out;
  for (const Line& line : lines_) out.append(line.text).append(line.end);
  return out;
}

std::vector<int> SettingsDocument::unreadable_lines() const {
  std::vector<int> numbers;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Kind::Unreadable) numbers.push_back(static_cast<int>(i + 1));
  }
  return numbers;
}

void SettingsDocument::drop_unreadable_lines() {
  std::erase_if(lines_, [](const Line& line) {
    return line.kind == Kind::Unreadable || line.text.find('\0') != std::string::npos;
  });
  is_text_ = true;
}

}  // namespace tolvi::platform
