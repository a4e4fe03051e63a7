#include "platform/linux/latin1_text.h"

namespace tolvi::platform {

std::string latin1_to_utf8(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (unsigned char c : in) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string utf8_to_latin1(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    std::size_t length = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 1;
    if (i + length > in.size()) length = 1;
    if (length == 2) {
      const unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(in[i + 1]) & 0x3Fu);
      out += code < 0x100 ? static_cast<char>(code) : '?';
    } else {
      out += length == 1 && c < 0x80 ? static_cast<char>(c) : '?';
    }
    i += length;
  }
  return out;
}

}  // namespace tolvi::platform
