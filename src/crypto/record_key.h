#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/crypto_provider.h"

namespace tolvi {

// One direction's AES-128-GCM key with its nonce counter. Nonce = four zero bytes then the
// counter before the operation, 64-bit little-endian; record = ciphertext then a 16-byte tag;
// no associated data. The counter advances on every attempt that reaches the cipher.
class RecordKey {
 public:
  static constexpr std::size_t kKeyBytes = 16;
  static constexpr std::size_t kTagBytes = 16;

  explicit RecordKey(const std::uint8_t key[kKeyBytes]);
  ~RecordKey();
  RecordKey(const RecordKey&) = delete;
  RecordKey& operator=(const RecordKey&) = delete;

  // false when the key could not be created (no provider).
  bool valid() const;
  std::uint64_t counter() const { return counter_; }

  // Seals `length` bytes into out (ciphertext then tag, length + 16 bytes). The input must not
  // lie inside out. On failure out is emptied.
  bool seal(const std::uint8_t* plain, std::size_t length, std::vector<std::uint8_t>& out);
  // Seals `length` bytes in place: data becomes the ciphertext and the tag goes to `tag`
  // (which may directly follow data), so a sender can seal inside its frame buffer without a
  // second copy. Same counter rule as seal. On failure the contents of data are unspecified.
  bool seal_in_place(std::uint8_t* data, std::size_t length, std::uint8_t tag[kTagBytes]);
  // Opens a record of `length` bytes into out (length - 16 bytes). A record shorter than a tag
  // is refused without moving the counter. On failure out is emptied, so no unauthenticated
  // plaintext is ever handed out. The input must not lie inside out.
  bool open(const std::uint8_t* record, std::size_t length, std::vector<std::uint8_t>& out);
  // Opens a record of `length` bytes where it lies: the first length - 16 bytes become the
  // plaintext, so a reader can open inside its receive buffer without a second copy. Same
  // counter rule as open; on failure those bytes are wiped.
  bool open_in_place(std::uint8_t* record, std::size_t length);

 private:
  // Owned provider key object; null when absent.
  platform::AesGcmKeyPtr handle_;
  std::uint64_t counter_ = 0;
};

}  // namespace tolvi
