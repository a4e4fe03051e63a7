#pragma once
#include <cstdint>
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
//   NAME text Connected\n2    (escapes \\ \n \r \t \s; anything else is an error)
//
// Names are letters, digits and '_'. People edit this file by hand, so it is read line by line:
// blanks around the line and between its fields, CR LF line ends and a last line without its
// end are accepted; when a name appears on several readable lines the last one counts; a line
// that cannot be read is skipped (only its own value is missing) and kept as it stands.
using SettingValue = std::variant<std::uint32_t, std::vector<std::uint8_t>, std::string>;

// A settings file as lines: reads find values in it, writes change single lines, and every line
// a write did not change is written back exactly as it was read, in its place.
class SettingsDocument {
 public:
  static SettingsDocument parse(std::string_view text);

  // The value of the last readable line with this name.
  std::optional<SettingValue> find(std::string_view name) const;
  // Replaces the last readable line with this name, or appends a line when there is none.
  void set(std::string_view name, SettingValue value);
  std::string format() const;

  // 1-based numbers of the lines that cannot be read.
  std::vector<int> unreadable_lines() const;
  // A file with NUL bytes is not text a person wrote (a damaged disk block, a binary copied over
  // it): its unreadable lines are not worth keeping.
  bool is_text() const { return is_text_; }
  void drop_unreadable_lines();

 private:
  enum class Kind { Note, Value, Unreadable };  // Note: a comment or a blank line
  struct Line {
    std::string text;  // the line without its end, exactly as read (or as formatted)
    std::string end;   // "\n", "\r\n", or "" for a last line without one
    Kind kind = Kind::Note;
    std::string name;
    SettingValue value;
  };

  std::vector<Line> lines_;
  bool is_text_ = true;
};

}  // namespace tolvi::platform
