#pragma once
#include <array>
#include <cstdint>

#include "crypto/x25519.h"

namespace tolvi::test {

// The iterated test of RFC 7748 section 5.2: k = u = 9, then repeatedly k, u = X25519(k, u), k.
inline std::array<std::uint8_t, 32> x25519_iterated(long iterations) {
  std::array<std::uint8_t, 32> k{9}, u{9}, r{};
  for (long i = 0; i < iterations; ++i) {
    x25519(r.data(), k.data(), u.data());
    u = k;
    k = r;
  }
  return k;
}

}  // namespace tolvi::test
