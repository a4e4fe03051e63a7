#pragma once
#include <cstddef>
#include <cstdint>

namespace tolvi {

// SHA-256 (FIPS 180-4) of data into out[32]; true on success.
bool sha256(const std::uint8_t* data, std::size_t length, std::uint8_t out[32]);

// HMAC-SHA256 (RFC 2104) into out[32]; true on success.
bool hmac_sha256(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* data,
                 std::size_t length, std::uint8_t out[32]);

// HKDF-SHA256 (RFC 5869), extract and the first expand block: out_length <= 32, info taken up
// to its terminator. false (and out untouched) when out_length > 32 or the extract fails.
bool hkdf_sha256(const std::uint8_t* ikm, std::size_t ikm_length, const std::uint8_t* salt,
                 std::size_t salt_length, const char* info, std::uint8_t* out,
                 std::size_t out_length);

}  // namespace tolvi
