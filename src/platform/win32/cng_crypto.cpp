// Crypto provider over CNG (bcrypt): the built-in SHA-256 and HMAC-SHA256 algorithm handles,
// and one AES provider in GCM mode shared by every key.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "platform/crypto_provider.h"

// mingw-w64 10 lacks the pseudo-handles and may hide BCryptHash behind NTDDI_VERSION, though
// libbcrypt.a exports it (Windows 10 and later).
#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE (reinterpret_cast<BCRYPT_ALG_HANDLE>(0x00000041))
#endif
#ifndef BCRYPT_HMAC_SHA256_ALG_HANDLE
#define BCRYPT_HMAC_SHA256_ALG_HANDLE (reinterpret_cast<BCRYPT_ALG_HANDLE>(0x000000a1))
#endif
extern "C" NTSTATUS WINAPI BCryptHash(BCRYPT_ALG_HANDLE hAlgorithm, PUCHAR pbSecret, ULONG cbSecret,
                                      PUCHAR pbInput, ULONG cbInput, PUCHAR pbOutput,
                                      ULONG cbOutput);

namespace tolvi::platform {

struct AesGcmKey {
  explicit AesGcmKey(BCRYPT_KEY_HANDLE key) : handle(key) {}
  ~AesGcmKey() { BCryptDestroyKey(handle); }  // CNG wipes the key object it allocated
  AesGcmKey(const AesGcmKey&) = delete;
  AesGcmKey& operator=(const AesGcmKey&) = delete;

  const BCRYPT_KEY_HANDLE handle;
};

namespace {

constexpr NTSTATUS kStatusSuccess = 0;

// CNG takes non-const buffers even for input; it does not write to them. Empty input is passed
// as null: Wine's GCM skips the tag entirely for a non-null buffer of length 0.
PUCHAR input(const std::uint8_t* p, std::size_t length) {
  return length > 0 ? const_cast<PUCHAR>(p) : nullptr;
}

bool fits_ulong(std::size_t length) { return length <= ULONG_MAX; }

// The HMAC-SHA256 algorithm handle: the built-in pseudo-handle where BCryptHash accepts it
// (Windows 10), otherwise an HMAC provider opened once and never closed (Wine 8 refuses the
// pseudo-handle with STATUS_INVALID_PARAMETER). Decided on first use; null when neither works.
BCRYPT_ALG_HANDLE hmac_sha256_algorithm() {
  static const BCRYPT_ALG_HANDLE algorithm = [] {
    UCHAR key = 0, data = 0, out[kSha256Bytes];
    if (BCryptHash(BCRYPT_HMAC_SHA256_ALG_HANDLE, &key, 1, &data, 1, out, sizeof(out)) ==
        kStatusSuccess) {
      return BCRYPT_HMAC_SHA256_ALG_HANDLE;
    }
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr,
                                    BCRYPT_ALG_HANDLE_HMAC_FLAG) != kStatusSuccess) {
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return handle;
  }();
  return algorithm;
}

// The process-wide AES provider in GCM mode, opened by the first key (a function-local static
// serialises that first use) and never closed; null for the life of the process on failure.
BCRYPT_ALG_HANDLE aes_gcm_provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_AES_ALGORITHM, nullptr, 0) != kStatusSuccess) {
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    static const wchar_t kGcm[] = BCRYPT_CHAIN_MODE_GCM;
    if (BCryptSetProperty(handle, BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kGcm)), sizeof(kGcm),
                          0) != kStatusSuccess) {
      BCryptCloseAlgorithmProvider(handle, 0);
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return handle;
  }();
  return provider;
}

std::atomic<bool> g_simulate_missing_aes{false};

// Nonce and tag of one GCM call, no associated data, no chaining across calls.
BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO mode_info(const std::uint8_t* nonce, std::uint8_t* tag) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = const_cast<PUCHAR>(nonce);
  info.cbNonce = static_cast<ULONG>(kAesGcmNonceBytes);
  info.pbTag = tag;
  info.cbTag = static_cast<ULONG>(kAesGcmTagBytes);
  return info;
}

}  // namespace

bool sha256(const std::uint8_t* data, std::size_t length, std::uint8_t out[kSha256Bytes]) {
  if (!fits_ulong(length)) return false;
  return BCryptHash(BCRYPT_SHA256_ALG_HANDLE, nullptr, 0, input(data, length),
                    static_cast<ULONG>(length), out,
                    static_cast<ULONG>(kSha256Bytes)) == kStatusSuccess;
}

bool hmac_sha256(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* data,
                 std::size_t length, std::uint8_t out[kSha256Bytes]) {
  BCRYPT_ALG_HANDLE algorithm = hmac_sha256_algorithm();
  if (algorithm == nullptr || !fits_ulong(key_length) || !fits_ulong(length)) return false;
  // HMAC pads its key with zeros to the block size, so an empty key (HKDF without salt) is the
  // same as 32 zero bytes; passing those keeps CNG from ever seeing an empty HMAC secret, whose
  // acceptance its documentation leaves open.
  static const std::uint8_t kZeroKey[kSha256Bytes] = {};
  if (key_length == 0) {
    key = kZeroKey;
    key_length = sizeof(kZeroKey);
  }
  return BCryptHash(algorithm, input(key, key_length), static_cast<ULONG>(key_length),
                    input(data, length), static_cast<ULONG>(length), out,
                    static_cast<ULONG>(kSha256Bytes)) == kStatusSuccess;
}

AesGcmKeyPtr aes_gcm_create_key(const std::uint8_t key[kAesGcmKeyBytes]) {
  if (g_simulate_missing_aes.load(std::memory_order_relaxed)) return nullptr;
  BCRYPT_ALG_HANDLE provider = aes_gcm_provider();
  if (provider == nullptr) return nullptr;
  BCRYPT_KEY_HANDLE handle = nullptr;
  // No key object buffer: CNG allocates (and later frees) its own.
  if (BCryptGenerateSymmetricKey(provider, &handle, nullptr, 0, const_cast<PUCHAR>(key),
                                 static_cast<ULONG>(kAesGcmKeyBytes), 0) != kStatusSuccess) {
    return nullptr;
  }
  return AesGcmKeyPtr(new AesGcmKey(handle));
}

void AesGcmKeyDeleter::operator()(AesGcmKey* key) const { delete key; }

bool aes_gcm_seal(AesGcmKey* key, const std::uint8_t nonce[kAesGcmNonceBytes],
                  const std::uint8_t* plain, std::size_t length, std::uint8_t* cipher,
                  std::uint8_t tag[kAesGcmTagBytes]) {
  if (key == nullptr || !fits_ulong(length)) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = mode_info(nonce, tag);
  ULONG written = 0;
  const NTSTATUS status =
      BCryptEncrypt(key->handle, input(plain, length), static_cast<ULONG>(length), &info, nullptr,
                    0, length > 0 ? cipher : nullptr, static_cast<ULONG>(length), &written, 0);
  return status == kStatusSuccess && written == length;
}

bool aes_gcm_open(AesGcmKey* key, const std::uint8_t nonce[kAesGcmNonceBytes],
                  const std::uint8_t* cipher, std::size_t length,
                  const std::uint8_t tag[kAesGcmTagBytes], std::uint8_t* plain) {
  if (key == nullptr || !fits_ulong(length)) return false;
  if (length == 0) {
    // Wine 8's BCryptDecrypt accepts any tag when there is no ciphertext. With nothing to
    // decrypt, verifying is recomputing: the tag of an empty message is the same whether it
    // is sealed or opened, so seal nothing under this nonce and compare in constant time.
    std::uint8_t expected[kAesGcmTagBytes];
    if (!aes_gcm_seal(key, nonce, nullptr, 0, nullptr, expected)) return false;
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < kAesGcmTagBytes; ++i) difference |= expected[i] ^ tag[i];
    return difference == 0;
  }
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = mode_info(nonce, const_cast<PUCHAR>(tag));
  ULONG written = 0;
  // A tag mismatch is STATUS_AUTH_TAG_MISMATCH (0xC000A002); any failure is a refusal.
  const NTSTATUS status =
      BCryptDecrypt(key->handle, input(cipher, length), static_cast<ULONG>(length), &info, nullptr,
                    0, plain, static_cast<ULONG>(length), &written, 0);
  return status == kStatusSuccess && written == length;
}

void simulate_missing_aes_provider_for_testing(bool missing) {
  g_simulate_missing_aes.store(missing, std::memory_order_relaxed);
}

}  // namespace tolvi::platform
