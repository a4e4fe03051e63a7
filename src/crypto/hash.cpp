#include "crypto/hash.h"

#include <cstring>
#include <vector>

#include "base/secure_zero.h"
#include "platform/crypto_provider.h"

namespace tolvi {
namespace {

constexpr std::size_t kHashBytes = platform::kSha256Bytes;
// The one expand block's counter byte.
constexpr std::uint8_t kFirstBlock = 0x01;

}  // namespace

bool sha256(const std::uint8_t* data, std::size_t length, std::uint8_t out[32]) {
  return platform::sha256(data, length, out);
}

bool hmac_sha256(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* data,
                 std::size_t length, std::uint8_t out[32]) {
  return platform::hmac_sha256(key, key_length, data, length, out);
}

bool hkdf_sha256(const std::uint8_t* ikm, std::size_t ikm_length, const std::uint8_t* salt,
                 std::size_t salt_length, const char* info, std::uint8_t* out,
                 std::size_t out_length) {
  if (out_length > kHashBytes) return false;

  // Extract: PRK = HMAC(salt, ikm). An empty salt is an empty HMAC key, which HMAC pads to the
  // same block as the 32 zero bytes RFC 5869 prescribes for a missing salt.
  std::uint8_t prk[kHashBytes];
  if (!platform::hmac_sha256(salt, salt_length, ikm, ikm_length, prk)) {
    secure_zero(prk, sizeof(prk));
    return false;
  }

  // Expand, first block only: T(1) = HMAC(PRK, info || 0x01).
  const std::size_t info_length = info != nullptr ? std::strlen(info) : 0;
  std::vector<std::uint8_t> message(info_length + 1);
  if (info_length > 0) std::memcpy(message.data(), info, info_length);
  message[info_length] = kFirstBlock;
  std::uint8_t t[kHashBytes];
  const bool ok = platform::hmac_sha256(prk, sizeof(prk), message.data(), message.size(), t);
  // Copy only a verified result: on failure the output stays untouched.
  if (ok && out_length > 0) std::memcpy(out, t, out_length);
  secure_zero(prk, sizeof(prk));
  secure_zero(t, sizeof(t));
  return ok;
}

}  // namespace tolvi
