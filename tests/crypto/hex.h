#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tolvi::test {

// Bytes from a hex text such as "0a1b"; test data only.
inline std::vector<std::uint8_t> from_hex(std::string_view hex) {
  auto nibble = [](char c) -> std::uint8_t {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    throw std::invalid_argument("bad hex digit");
  };
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  std::vector<std::uint8_t> bytes(hex.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  }
  return bytes;
}

inline std::array<std::uint8_t, 32> from_hex32(std::string_view hex) {
  const std::vector<std::uint8_t> bytes = from_hex(hex);
  if (bytes.size() != 32) throw std::invalid_argument("not 32 bytes");
  std::array<std::uint8_t, 32> out{};
  for (std::size_t i = 0; i < 32; ++i) out[i] = bytes[i];
  return out;
}

inline std::string to_hex(const std::uint8_t* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

template <typename Bytes>
std::string to_hex(const Bytes& bytes) {
  return to_hex(bytes.data(), bytes.size());
}

}  // namespace tolvi::test
