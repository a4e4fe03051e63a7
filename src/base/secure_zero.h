#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvi {

// Overwrites `length` bytes with zeros in a way the optimiser cannot remove.
void secure_zero(void* data, std::size_t length);

// A fixed-size secret (a key, a hash of a password) wiped however its scope is left.
template <std::size_t N>
struct SecretArray {
  std::uint8_t bytes[N] = {};
  ~SecretArray() { secure_zero(bytes, N); }
  std::uint8_t* data() { return bytes; }
};

// A plaintext copy of a secret of any length, wiped however its scope is left.
struct SecretBytes {
  std::vector<std::uint8_t> bytes;
  ~SecretBytes() { secure_zero(bytes.data(), bytes.size()); }
};

}  // namespace tolvi
