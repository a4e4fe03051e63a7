#include "platform/text.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace tolvi {
namespace {

// The length up to the first NUL: conversion stops there, as it does for a NUL-terminated
// text. Texts too long for the conversion's int lengths count as unconvertible (0).
template <typename Char>
int convertible_length(std::basic_string_view<Char> text) {
  const std::size_t length = std::min(text.find(Char(0)), text.size());
  return length > INT_MAX ? 0 : static_cast<int>(length);
}

}  // namespace

std::string to_utf8(std::u16string_view text) {
  const int length = convertible_length(text);
  if (length == 0) return std::string();
  // char16_t and wchar_t are both UTF-16 code units on Windows.
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  // Flags 0: ill-formed UTF-16 (lone surrogates) becomes U+FFFD instead of an error.
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), size, nullptr, nullptr) != size) {
    return std::string();
  }
  return out;
}

std::u16string to_utf16(std::string_view text) {
  const int length = convertible_length(text);
  if (length == 0) return std::u16string();
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (size <= 0) return std::u16string();
  std::u16string out(static_cast<std::size_t>(size), u'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, text.data(), length, reinterpret_cast<wchar_t*>(out.data()),
                          size) != size) {
    return std::u16string();
  }
  return out;
}

std::u16string module_path() {
  // MAX_PATH covers the usual install folders; a longer path (a deep per-user folder) is
  // read again with a larger buffer rather than cut short, since a cut path would start the
  // wrong program from the Run entry or an elevated copy.
  constexpr DWORD kFirstBufferChars = MAX_PATH;
  constexpr DWORD kLongestPathChars = 32768;
  for (DWORD capacity = kFirstBufferChars; capacity <= kLongestPathChars; capacity *= 2) {
    std::u16string buffer(capacity, u'\0');
    const DWORD n =
        GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(buffer.data()), capacity);
    if (n == 0) return std::u16string();
    if (n < capacity) {
      buffer.resize(n);
      return buffer;
    }
  }
  return std::u16string();
}

}  // namespace tolvi
