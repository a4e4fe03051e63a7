#include "crypto/record_key.h"

#include "base/secure_zero.h"

namespace tolvi {
namespace {

constexpr std::size_t kNonceBytes = platform::kAesGcmNonceBytes;
// The nonce starts with four zero bytes; the counter follows, little-endian.
constexpr std::size_t kCounterOffset = 4;

void make_nonce(std::uint64_t counter, std::uint8_t nonce[kNonceBytes]) {
  for (std::size_t i = 0; i < kCounterOffset; ++i) nonce[i] = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    nonce[kCounterOffset + i] = static_cast<std::uint8_t>(counter >> (8 * i));
  }
}

void discard(std::vector<std::uint8_t>& out) {
  if (!out.empty()) secure_zero(out.data(), out.size());
  out.clear();
}

}  // namespace

RecordKey::RecordKey(const std::uint8_t key[kKeyBytes])
    : handle_(platform::aes_gcm_create_key(key)) {}

RecordKey::~RecordKey() = default;

bool RecordKey::valid() const { return handle_ != nullptr; }

bool RecordKey::seal(const std::uint8_t* plain, std::size_t length,
                     std::vector<std::uint8_t>& out) {
  if (!handle_ || length > out.max_size() - kTagBytes) {
    out.clear();
    return false;
  }
  std::uint8_t nonce[kNonceBytes];
  make_nonce(counter_++, nonce);
  out.resize(length + kTagBytes);
  if (!platform::aes_gcm_seal(handle_.get(), nonce, plain, length, out.data(),
                              out.data() + length)) {
    discard(out);
    return false;
  }
  return true;
}

bool RecordKey::seal_in_place(std::uint8_t* data, std::size_t length, std::uint8_t tag[kTagBytes]) {
  if (!handle_) return false;
  std::uint8_t nonce[kNonceBytes];
  make_nonce(counter_++, nonce);
  // The provider accepts the same buffer as input and output.
  return platform::aes_gcm_seal(handle_.get(), nonce, data, length, data, tag);
}

bool RecordKey::open(const std::uint8_t* record, std::size_t length,
                     std::vector<std::uint8_t>& out) {
  if (length < kTagBytes || !handle_) {
    out.clear();
    return false;
  }
  std::uint8_t nonce[kNonceBytes];
  make_nonce(counter_++, nonce);
  const std::size_t plain_length = length - kTagBytes;
  out.resize(plain_length);
  if (!platform::aes_gcm_open(handle_.get(), nonce, record, plain_length, record + plain_length,
                              out.data())) {
    // The provider may already have written unauthenticated plaintext.
    discard(out);
    return false;
  }
  return true;
}

bool RecordKey::open_in_place(std::uint8_t* record, std::size_t length) {
  if (length < kTagBytes || !handle_) return false;
  std::uint8_t nonce[kNonceBytes];
  make_nonce(counter_++, nonce);
  const std::size_t plain_length = length - kTagBytes;
  // The provider accepts the same buffer as input and output.
  if (!platform::aes_gcm_open(handle_.get(), nonce, record, plain_length, record + plain_length,
                              record)) {
    if (plain_length) secure_zero(record, plain_length);
    return false;
  }
  return true;
}

}  // namespace tolvi
