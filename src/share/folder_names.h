#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvi {

// The fields of a FolderShare announcement.
struct FolderShareMessage {
  bool read_only = false;
  std::string token;  // hexadecimal digits only (may be empty)
  std::string name;   // UTF-8, percent-encoded; empty: the client stopped sharing
};

// Reads FolderShare field by field: read-only byte, 16-bit token length, token, 16-bit name
// length, name; bytes after the name are ignored. Nothing when a field is cut short or the
// token holds anything but hexadecimal digits.
std::optional<FolderShareMessage> read_folder_share(const std::vector<std::uint8_t>& payload);

// Each % with at least two more bytes after it becomes, with those two, the byte they give read
// as hexadecimal the way strtol reads them (0 when the pair has no leading hex digit, the first
// digit alone when only it is hexadecimal); every other byte is kept.
std::string percent_decode(std::string_view name);

// The folder's label: the decoded name with every double quote, slash, backslash and character
// below U+0020 replaced by a hyphen. A name that is not valid UTF-8 has each byte of a broken
// sequence replaced by a hyphen too.
std::string folder_label(std::string_view name);

// The sentence for the client once the folder is mounted: “label” + where + " on this PC" and
// " (read-only)." or ".".
std::string mounted_text(std::string_view label, std::string_view where, bool read_only);

}  // namespace tolvi
