#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvi {

// Every integer on the wire is little-endian. These read and write them byte by byte, so they
// are independent of the host's byte order and of alignment.
template <typename T>
T load_le(const std::uint8_t* in) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T(in[i]) << (8 * i));
  return value;
}

template <typename T>
void store_le(std::uint8_t* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
void append_le(std::vector<std::uint8_t>& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace tolvi
