// The folder's name as a client sends it: decoding never grows the text, and the label never
// holds a character that could leave the mount folder or break a path (quote, slash,
// backslash, control character).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "share/folder_names.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const std::string decoded = tolvi::percent_decode(name);
  if (decoded.size() > name.size()) std::abort();
  const std::string label = tolvi::folder_label(name);
  if (label.size() != decoded.size()) std::abort();
  for (const char c : label) {
    if (c == '"' || c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) std::abort();
  }
  return 0;
}
