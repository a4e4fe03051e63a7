// Our X25519 and record sealing against OpenSSL used directly (Linux only).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/hex.h"
#include "crypto/record_key.h"
#include "crypto/x25519.h"
#include "platform/random.h"

namespace tolvi {
namespace {

using Bytes32 = std::array<std::uint8_t, 32>;

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Bytes32 openssl_x25519(const Bytes32& scalar, const Bytes32& u) {
  Pkey priv(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), 32));
  Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, u.data(), 32));
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(priv.get(), nullptr));
  Bytes32 out{};
  std::size_t length = out.size();
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
      EVP_PKEY_derive(ctx.get(), out.data(), &length) != 1 || length != 32) {
    ADD_FAILURE() << "OpenSSL X25519 failed for u " << test::to_hex(u);
  }
  return out;
}

Bytes32 openssl_public_key(const Bytes32& scalar) {
  Pkey priv(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), 32));
  Bytes32 out{};
  std::size_t length = out.size();
  EXPECT_EQ(EVP_PKEY_get_raw_public_key(priv.get(), out.data(), &length), 1);
  return out;
}

// Random scalars and points, including u with bit 255 set and u at or above p.
TEST(X25519AgainstOpenSsl, AgreesOnRandomInputs) {
  constexpr int kRounds = 3000;
  for (int i = 0; i < kRounds; ++i) {
    Bytes32 scalar{}, u{};
    ASSERT_TRUE(random_bytes(scalar.data(), scalar.size()));
    ASSERT_TRUE(random_bytes(u.data(), u.size()));
    Bytes32 ours{};
    x25519(ours.data(), scalar.data(), u.data());
    ASSERT_EQ(test::to_hex(ours), test::to_hex(openssl_x25519(scalar, u)))
        << "scalar " << test::to_hex(scalar) << " u " << test::to_hex(u);
    if (i % 10 == 0) {
      x25519_base(ours.data(), scalar.data());
      ASSERT_EQ(test::to_hex(ours), test::to_hex(openssl_public_key(scalar)))
          << "scalar " << test::to_hex(scalar);
    }
  }
}

// The nonce construction checked against raw EVP AES-128-GCM with the nonce written out.
TEST(RecordKeyAgainstOpenSsl, RecordsMatchRawGcmWithCounterNonce) {
  const std::vector<std::uint8_t> key = test::from_hex("feffe9928665731c6d6a8f9467308308");
  const std::vector<std::uint8_t> plain = test::from_hex(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
      "49a6b525b16aedf5aa0de657ba637b39");
  RecordKey record_key(key.data());
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  for (std::uint64_t counter = 0; counter < 300; ++counter) {
    std::vector<std::uint8_t> record;
    ASSERT_TRUE(record_key.seal(plain.data(), plain.size(), record));

    std::uint8_t nonce[12] = {};
    for (int b = 0; b < 8; ++b) nonce[4 + b] = static_cast<std::uint8_t>(counter >> (8 * b));
    std::vector<std::uint8_t> expected(plain.size() + 16);
    int length = 0;
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, key.data(), nonce), 1);
    ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), expected.data(), &length, plain.data(),
                                static_cast<int>(plain.size())),
              1);
    ASSERT_EQ(EVP_EncryptFinal_ex(ctx.get(), expected.data() + length, &length), 1);
    ASSERT_EQ(
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, expected.data() + plain.size()),
        1);
    ASSERT_EQ(test::to_hex(record), test::to_hex(expected)) << counter;
  }
}

}  // namespace
}  // namespace tolvi
