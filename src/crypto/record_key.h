#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

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

  bool seal(const std::uint8_t* plain, std::size_t length, std::vector<std::uint8_t>& out);
  bool open(const std::uint8_t* record, std::size_t length, std::vector<std::uint8_t>& out);

 private:
  // Owned provider key object (see platform/crypto_provider.h); null when absent.
  void* handle_ = nullptr;
  std::uint64_t counter_ = 0;
};

}  // namespace tolvi
