#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tolvi::platform {

// The platform's cryptography provider: OpenSSL libcrypto (EVP) on Linux, CNG (bcrypt) on
// Windows. Nothing here logs; every failure is a false or a null key.

constexpr std::size_t kSha256Bytes = 32;
constexpr std::size_t kAesGcmKeyBytes = 16;
constexpr std::size_t kAesGcmNonceBytes = 12;
constexpr std::size_t kAesGcmTagBytes = 16;

// SHA-256 of data into out[32]. data may be null when length is 0.
bool sha256(const std::uint8_t* data, std::size_t length, std::uint8_t out[kSha256Bytes]);

// HMAC-SHA256 into out[32]. key and data may be null when their length is 0.
bool hmac_sha256(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* data,
                 std::size_t length, std::uint8_t out[kSha256Bytes]);

// An AES-128 key in GCM mode. The process-wide AES provider behind it is opened by the first
// key created (that first use is serialised), shared by all keys and never closed; when it
// cannot be opened it stays absent and no key can be made.
struct AesGcmKey;
// Releases the key and wipes its schedule.
struct AesGcmKeyDeleter {
  void operator()(AesGcmKey* key) const;
};
using AesGcmKeyPtr = std::unique_ptr<AesGcmKey, AesGcmKeyDeleter>;

// A key from 16 bytes of key material; null when the provider is absent or the key could not
// be made. The caller keeps (and wipes) the key material.
AesGcmKeyPtr aes_gcm_create_key(const std::uint8_t key[kAesGcmKeyBytes]);

// Encrypts `length` bytes of plain into cipher (the same length) and writes the 16-byte tag,
// with the 12-byte nonce and no associated data. The buffers must not overlap partially.
bool aes_gcm_seal(AesGcmKey* key, const std::uint8_t nonce[kAesGcmNonceBytes],
                  const std::uint8_t* plain, std::size_t length, std::uint8_t* cipher,
                  std::uint8_t tag[kAesGcmTagBytes]);
// Decrypts and verifies; false when the tag does not match, and then the contents of plain
// are unspecified (the caller must discard them).
bool aes_gcm_open(AesGcmKey* key, const std::uint8_t nonce[kAesGcmNonceBytes],
                  const std::uint8_t* cipher, std::size_t length,
                  const std::uint8_t tag[kAesGcmTagBytes], std::uint8_t* plain);

// Test seam: while set, aes_gcm_create_key behaves as if the AES provider could not be opened.
void simulate_missing_aes_provider_for_testing(bool missing);

}  // namespace tolvi::platform
