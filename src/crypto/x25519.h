#pragma once
#include <cstdint>

namespace tolvi {

// X25519(scalar, u) of RFC 7748, constant time; bit 255 of u is ignored, the output is fully
// reduced and never checked for all-zero.
void x25519(std::uint8_t out[32], const std::uint8_t scalar[32], const std::uint8_t u[32]);
// X25519 with the base point u = 9: the public key of `scalar`.
void x25519_base(std::uint8_t out[32], const std::uint8_t scalar[32]);

}  // namespace tolvi
