#include "platform/text.h"

#include <unistd.h>

#include <cstdint>
#include <vector>

namespace tolvi {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (c >> 10));
    out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  }
}

// Decodes one UTF-8 sequence at text[i]; advances i. A malformed sequence (bad lead byte,
// missing continuation, overlong form, surrogate, beyond U+10FFFF) yields one replacement
// character for its maximal valid prefix, as the Windows conversion does.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t lead = byte(i++);
  if (lead < 0x80) return lead;
  int length;
  char32_t c;
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 1;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 2;
    c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 3;
    c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < length; ++k) {
    if (i >= text.size() || byte(i) < low || byte(i) > high) return kReplacement;
    c = (c << 6) | (byte(i++) & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return c;
}

}  // namespace

std::string to_utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && text[i] != 0; ++i) {
    const char16_t unit = text[i];
    char32_t c = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
        ++i;
      } else {
        c = kReplacement;
      }
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      c = kReplacement;
    }
    append_utf8(out, c);
  }
  return out;
}

std::u16string to_utf16(std::string_view text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size() && text[i] != '\0') append_utf16(out, decode_utf8(text, i));
  return out;
}

std::u16string module_path() {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return std::u16string();
  return to_utf16(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
}

}  // namespace tolvi
