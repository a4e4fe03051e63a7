// Crypto provider over OpenSSL libcrypto 3 (EVP).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "platform/crypto_provider.h"

namespace tolvi::platform {

struct AesGcmKey {
  explicit AesGcmKey(EVP_CIPHER_CTX* context) : ctx(context) {}
  ~AesGcmKey() { EVP_CIPHER_CTX_free(ctx); }  // cleanses the key schedule
  AesGcmKey(const AesGcmKey&) = delete;
  AesGcmKey& operator=(const AesGcmKey&) = delete;

  // One context holds the key schedule; each operation only sets the nonce and direction.
  EVP_CIPHER_CTX* const ctx;
};

namespace {

// EVP rejects null buffers in some paths even for zero lengths.
const std::uint8_t kEmpty[1] = {0};

const std::uint8_t* non_null(const std::uint8_t* p) { return p != nullptr ? p : kEmpty; }

// Algorithms fetched once: an explicit fetch avoids a provider look-up on every call.
struct Algorithms {
  EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
};

const Algorithms& algorithms() {
  static const Algorithms instance;  // never freed: shared for the life of the process
  return instance;
}

// The process-wide AES-GCM provider: fetched by the first key (a function-local static makes
// that first use thread-safe); null for the life of the process when the fetch fails.
EVP_CIPHER* aes_gcm_provider() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
  return cipher;
}

std::atomic<bool> g_simulate_missing_aes{false};

// EVP lengths are int: feed large buffers in slices.
constexpr std::size_t kMaxSlice = 1u << 30;

bool cipher_update(EVP_CIPHER_CTX* ctx, const std::uint8_t* in, std::size_t length,
                   std::uint8_t* out) {
  while (length > 0) {
    const std::size_t slice = length < kMaxSlice ? length : kMaxSlice;
    int written = 0;
    if (EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(slice)) != 1 ||
        static_cast<std::size_t>(written) != slice) {
      return false;
    }
    in += slice;
    out += slice;
    length -= slice;
  }
  return true;
}

}  // namespace

bool sha256(const std::uint8_t* data, std::size_t length, std::uint8_t out[kSha256Bytes]) {
  const EVP_MD* md = algorithms().sha256;
  unsigned int out_length = 0;
  return md != nullptr && EVP_Digest(non_null(data), length, out, &out_length, md, nullptr) == 1 &&
         out_length == kSha256Bytes;
}

bool hmac_sha256(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* data,
                 std::size_t length, std::uint8_t out[kSha256Bytes]) {
  EVP_MAC* mac = algorithms().hmac;
  if (mac == nullptr) return false;
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  if (ctx == nullptr) return false;
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  std::size_t out_length = 0;
  const bool ok = EVP_MAC_init(ctx, non_null(key), key_length, params) == 1 &&
                  EVP_MAC_update(ctx, non_null(data), length) == 1 &&
                  EVP_MAC_final(ctx, out, &out_length, kSha256Bytes) == 1 &&
                  out_length == kSha256Bytes;
  EVP_MAC_CTX_free(ctx);  // cleanses the keyed state
  return ok;
}

AesGcmKeyPtr aes_gcm_create_key(const std::uint8_t key[kAesGcmKeyBytes]) {
  if (g_simulate_missing_aes.load(std::memory_order_relaxed)) return nullptr;
  EVP_CIPHER* cipher = aes_gcm_provider();
  if (cipher == nullptr) return nullptr;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return nullptr;
  // The default GCM nonce length is 12 bytes, the length used here.
  if (EVP_CipherInit_ex2(ctx, cipher, key, nullptr, 1, nullptr) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    return nullptr;
  }
  return AesGcmKeyPtr(new AesGcmKey(ctx));
}

void AesGcmKeyDeleter::operator()(AesGcmKey* key) const { delete key; }

bool aes_gcm_seal(AesGcmKey* key, const std::uint8_t nonce[kAesGcmNonceBytes],
                  const std::uint8_t* plain, std::size_t length, std::uint8_t* cipher,
                  std::uint8_t tag[kAesGcmTagBytes]) {
  if (key == nullptr) return false;
  EVP_CIPHER_CTX* ctx = key->ctx;
  int final_length = 0;
  return EVP_CipherInit_ex2(ctx, nullptr, nullptr, nonce, 1, nullptr) == 1 &&
         cipher_update(ctx, plain, length, cipher) &&
         EVP_CipherFinal_ex(ctx, cipher + length, &final_length) == 1 && final_length == 0 &&
         EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kAesGcmTagBytes), tag) ==
             1;
}

bool aes_gcm_open(AesGcmKey* key, const std::uint8_t nonce[kAesGcmNonceBytes],
                  const std::uint8_t* cipher, std::size_t length,
                  const std::uint8_t tag[kAesGcmTagBytes], std::uint8_t* plain) {
  if (key == nullptr) return false;
  EVP_CIPHER_CTX* ctx = key->ctx;
  int final_length = 0;
  // The tag is only read by the final call; OpenSSL's prototype is not const-correct.
  return EVP_CipherInit_ex2(ctx, nullptr, nullptr, nonce, 0, nullptr) == 1 &&
         cipher_update(ctx, cipher, length, plain) &&
         EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kAesGcmTagBytes),
                             const_cast<std::uint8_t*>(tag)) == 1 &&
         EVP_CipherFinal_ex(ctx, plain + length, &final_length) == 1 && final_length == 0;
}

void simulate_missing_aes_provider_for_testing(bool missing) {
  g_simulate_missing_aes.store(missing, std::memory_order_relaxed);
}

}  // namespace tolvi::platform
