#pragma once
#include <string>
#include <string_view>

namespace tolvi {

// The folder's name as the client sends it (FolderShare, read by read_folder_share in
// protocol/client_messages.h) made into what the host shows and mounts.

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
