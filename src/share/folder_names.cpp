#include "share/folder_names.h"

#include <cstdlib>

namespace tolvi {

namespace {

constexpr char kReplacement = '-';

// Length of the well-formed UTF-8 sequence starting at `at`, or 0 when it is broken (stray
// continuation byte, overlong form, surrogate, beyond U+10FFFF or cut short).
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string percent_decode(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && name.size() - i > 2) {
      const char pair[3] = {name[i + 1], name[i + 2], '\0'};
      out.push_back(static_cast<char>(std::strtol(pair, nullptr, 16)));
      i += 2;
    } else {
      out.push_back(name[i]);
    }
  }
  return out;
}

std::string folder_label(std::string_view name) {
  const std::string decoded = percent_decode(name);
  std::string label;
  label.reserve(decoded.size());
  for (std::size_t i = 0; i < decoded.size();) {
    const std::size_t length = utf8_sequence_length(decoded, i);
    if (length == 0) {
      label.push_back(kReplacement);
      ++i;
      continue;
    }
    const char c = decoded[i];
    if (length == 1 &&
        (c == '"' || c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20)) {
      label.push_back(kReplacement);
    } else {
      label.append(decoded, i, length);
    }
    i += length;
  }
  return label;
}

std::string mounted_text(std::string_view label, std::string_view where, bool read_only) {
  std::string text = "\u201C";
  text.append(label);
  text.append("\u201D ");
  text.append(where);
  text.append(" on this PC");
  text.append(read_only ? " (read-only)." : ".");
  return text;
}

}  // namespace tolvi
