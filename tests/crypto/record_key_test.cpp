#include "crypto/record_key.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/hex.h"
#include "platform/crypto_provider.h"

namespace tolvi {
namespace {

using test::from_hex;
using test::to_hex;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kKey[RecordKey::kKeyBytes] = {
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

Bytes pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return bytes;
}

// The GCM test cases 1 and 2 published with the mode (key and 96-bit IV all zero): a fresh key's
// first record uses the nonce of twelve zero bytes, so they must come out exactly.
TEST(RecordKey, FirstRecordMatchesGcmVectorsWithZeroNonce) {
  struct Case {
    Bytes plain;
    const char* record;
  };
  const Case kCases[] = {
      {{}, "58e2fccefa7e3061367f1d57a4e7455a"},
      {Bytes(16, 0), "0388dace60b6a392f328c2b971b2fe78ab6e47d42cec13bdf53a67b21257bddf"},
  };
  const std::uint8_t kZeroKey[RecordKey::kKeyBytes] = {};
  for (const Case& c : kCases) {
    RecordKey key(kZeroKey);
    Bytes record;
    ASSERT_TRUE(key.seal(c.plain.data(), c.plain.size(), record));
    EXPECT_EQ(to_hex(record), c.record);
  }
}

// Record n is sealed under the nonce 00 00 00 00 || n as 64-bit little-endian; checked against
// the provider with the nonce spelt out, for counters whose bytes show the order.
TEST(RecordKey, NonceIsFourZeroBytesThenLittleEndianCounter) {
  struct Case {
    std::uint64_t counter;
    const char* nonce;
  };
  const Case kCases[] = {
      {0, "000000000000000000000000"},
      {1, "000000000100000000000000"},
      {0x0102, "000000000201000000000000"},
  };
  RecordKey key(kKey);
  const platform::AesGcmKeyPtr reference = platform::aes_gcm_create_key(kKey);
  ASSERT_TRUE(key.valid());
  ASSERT_NE(reference, nullptr);
  const Bytes plain = pattern(40, 3);
  Bytes record;
  for (const Case& c : kCases) {
    while (key.counter() < c.counter) ASSERT_TRUE(key.seal(plain.data(), plain.size(), record));
    ASSERT_TRUE(key.seal(plain.data(), plain.size(), record));
    Bytes expected(plain.size() + RecordKey::kTagBytes);
    ASSERT_TRUE(platform::aes_gcm_seal(reference.get(), from_hex(c.nonce).data(), plain.data(),
                                       plain.size(), expected.data(),
                                       expected.data() + plain.size()));
    EXPECT_EQ(to_hex(record), to_hex(expected)) << c.counter;
  }
}

TEST(RecordKey, KeysFromTheSameMaterialStayInStep) {
  RecordKey sender(kKey), receiver(kKey);
  Bytes record, opened;
  for (std::size_t n = 0; n < 300; ++n) {
    const Bytes plain = pattern(n * 5 % 97, static_cast<std::uint8_t>(n));
    ASSERT_TRUE(sender.seal(plain.data(), plain.size(), record));
    ASSERT_EQ(record.size(), plain.size() + RecordKey::kTagBytes);
    ASSERT_TRUE(receiver.open(record.data(), record.size(), opened)) << n;
    ASSERT_EQ(opened, plain) << n;
  }
  EXPECT_EQ(sender.counter(), 300u);
  EXPECT_EQ(receiver.counter(), 300u);
}

// Sealing in place (tag right behind the data, as the connection's frame buffers hold it) gives
// the same records as sealing into a vector and shares the one counter with it; opening in
// place (inside a receive buffer) likewise.
TEST(RecordKey, InPlaceMatchesCopyingAndSharesTheCounter) {
  RecordKey in_place(kKey), copying(kKey), receiver(kKey);
  Bytes expected, opened;
  const std::size_t lengths[] = {0, 1, 15, 16, 17, 100, 4096 + 3, 70000};
  for (std::size_t i = 0; i < std::size(lengths); ++i) {
    const Bytes plain = pattern(lengths[i], static_cast<std::uint8_t>(i));
    ASSERT_TRUE(copying.seal(plain.data(), plain.size(), expected));
    Bytes buffer = plain;
    buffer.resize(plain.size() + RecordKey::kTagBytes);
    if (i % 2 == 1) {
      // Alternate with the copying form on the same key: the counters must stay in step.
      ASSERT_TRUE(
          in_place.seal_in_place(buffer.data(), plain.size(), buffer.data() + plain.size()));
    } else {
      Bytes record;
      ASSERT_TRUE(in_place.seal(plain.data(), plain.size(), record));
      buffer = record;
    }
    EXPECT_EQ(buffer, expected) << lengths[i];
    if (i % 3 == 1) {
      ASSERT_TRUE(receiver.open_in_place(buffer.data(), buffer.size())) << lengths[i];
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(plain.size())), plain)
          << lengths[i];
    } else {
      ASSERT_TRUE(receiver.open(buffer.data(), buffer.size(), opened)) << lengths[i];
      EXPECT_EQ(opened, plain) << lengths[i];
    }
  }
  EXPECT_EQ(in_place.counter(), std::size(lengths));
  EXPECT_EQ(receiver.counter(), std::size(lengths));
}

// A record opened at the wrong position (lost, replayed or reordered) does not verify.
TEST(RecordKey, RecordOutOfOrderIsRefused) {
  RecordKey sender(kKey), receiver(kKey);
  const Bytes plain = pattern(32, 1);
  Bytes first, second, opened;
  ASSERT_TRUE(sender.seal(plain.data(), plain.size(), first));
  ASSERT_TRUE(sender.seal(plain.data(), plain.size(), second));
  EXPECT_FALSE(receiver.open(second.data(), second.size(), opened));
  EXPECT_FALSE(receiver.open(first.data(), first.size(), opened));
}

TEST(RecordKey, TagOnlyRecordOpensToEmptyAndShorterIsRefusedWithoutCounting) {
  RecordKey sender(kKey), receiver(kKey);
  Bytes record, opened = {1, 2, 3};
  ASSERT_TRUE(sender.seal(nullptr, 0, record));
  ASSERT_EQ(record.size(), 16u);

  EXPECT_FALSE(receiver.open(record.data(), 15, opened));
  EXPECT_EQ(receiver.counter(), 0u);
  EXPECT_TRUE(opened.empty());

  ASSERT_TRUE(receiver.open(record.data(), record.size(), opened));
  EXPECT_TRUE(opened.empty());
  EXPECT_EQ(receiver.counter(), 1u);
}

// Every single altered byte, in the ciphertext or the tag, makes the open fail, also for a
// tag-only record; the failed attempt still uses up its counter value and hands out no
// plaintext.
TEST(RecordKey, AlteredRecordIsRefusedAndCounts) {
  for (const std::size_t plain_length : {std::size_t{0}, std::size_t{24}}) {
    RecordKey sender(kKey);
    const Bytes plain = pattern(plain_length, 9);
    Bytes record;
    ASSERT_TRUE(sender.seal(plain.data(), plain.size(), record));
    for (std::size_t i = 0; i < record.size(); ++i) {
      RecordKey receiver(kKey);
      Bytes altered = record, opened = {7};
      altered[i] ^= 0x01;
      EXPECT_FALSE(receiver.open(altered.data(), altered.size(), opened))
          << plain_length << " " << i;
      EXPECT_TRUE(opened.empty()) << i;
      EXPECT_EQ(receiver.counter(), 1u) << i;
      // In place: the unauthenticated plaintext is wiped.
      RecordKey in_place(kKey);
      EXPECT_FALSE(in_place.open_in_place(altered.data(), altered.size())) << i;
      EXPECT_EQ(Bytes(altered.begin(), altered.end() - RecordKey::kTagBytes),
                Bytes(plain_length, 0))
          << i;
    }
  }
}

TEST(RecordKey, WithoutProviderNothingIsSealedAndTheCounterStays) {
  platform::simulate_missing_aes_provider_for_testing(true);
  RecordKey key(kKey);
  platform::simulate_missing_aes_provider_for_testing(false);
  EXPECT_FALSE(key.valid());
  Bytes data = pattern(20, 2);
  Bytes out;
  EXPECT_FALSE(key.seal(data.data(), data.size(), out));
  EXPECT_FALSE(key.seal_in_place(data.data(), 4, data.data() + 4));
  EXPECT_FALSE(key.open(data.data(), data.size(), out));
  EXPECT_FALSE(key.open_in_place(data.data(), data.size()));
  EXPECT_EQ(key.counter(), 0u);
}

}  // namespace
}  // namespace tolvi
