#include "crypto/hash.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "crypto/hex.h"

namespace tolvi {
namespace {

using test::from_hex;
using test::to_hex;

std::vector<std::uint8_t> bytes_of(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST(Sha256, MatchesFips180Examples) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case kCases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : kCases) {
    const std::vector<std::uint8_t> message = bytes_of(c.message);
    std::array<std::uint8_t, 32> out{};
    ASSERT_TRUE(sha256(message.data(), message.size(), out.data())) << c.message;
    EXPECT_EQ(to_hex(out), c.digest) << c.message;
  }
}

TEST(HmacSha256, MatchesRfc4231AndEmptyKey) {
  struct Case {
    std::vector<std::uint8_t> key;
    std::string data;
    const char* mac;
  };
  const Case kCases[] = {
      {std::vector<std::uint8_t>(20, 0x0b), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {bytes_of("Jefe"), "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      // A key longer than the block is hashed first.
      {std::vector<std::uint8_t>(131, 0xaa),
       "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      // An empty key (an HKDF without salt) must work on every provider.
      {{}, "", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const Case& c : kCases) {
    const std::vector<std::uint8_t> data = bytes_of(c.data);
    std::array<std::uint8_t, 32> out{};
    ASSERT_TRUE(hmac_sha256(c.key.data(), c.key.size(), data.data(), data.size(), out.data()))
        << c.data;
    EXPECT_EQ(to_hex(out), c.mac) << c.data;
  }
}

// RFC 5869 test case 1 (salt, info) and 3 (no salt, empty info: T = HMAC(PRK, 0x01)); only the
// first block of the output is supported, so the expected values are prefixes of the RFC's OKM.
TEST(HkdfSha256, GivesThePrefixOfRfc5869Output) {
  const std::string kInfoCase1 = "\xf0\xf1\xf2\xf3\xf4\xf5\xf6\xf7\xf8\xf9";
  const std::string kOkmCase1 = "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf";
  const std::string kOkmCase3 = "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d";
  struct Case {
    std::vector<std::uint8_t> salt;
    std::string info;
    std::size_t length;
    std::string okm;
  };
  const Case kCases[] = {
      {from_hex("000102030405060708090a0b0c"), kInfoCase1, 32, kOkmCase1},
      {from_hex("000102030405060708090a0b0c"), kInfoCase1, 16, kOkmCase1.substr(0, 32)},
      {{}, "", 32, kOkmCase3},
  };
  const std::vector<std::uint8_t> ikm(22, 0x0b);
  for (const Case& c : kCases) {
    // Bytes past the requested length stay as they were.
    std::array<std::uint8_t, 33> out;
    out.fill(0xee);
    ASSERT_TRUE(hkdf_sha256(ikm.data(), ikm.size(), c.salt.data(), c.salt.size(), c.info.c_str(),
                            out.data(), c.length));
    EXPECT_EQ(to_hex(out.data(), c.length), c.okm) << c.length;
    for (std::size_t i = c.length; i < out.size(); ++i) EXPECT_EQ(out[i], 0xee) << i;
  }
}

TEST(HkdfSha256, RefusesMoreThanOneBlockAndLeavesOutputUntouched) {
  const std::vector<std::uint8_t> ikm(22, 0x0b);
  std::array<std::uint8_t, 33> out;
  out.fill(0x5a);
  EXPECT_FALSE(hkdf_sha256(ikm.data(), ikm.size(), nullptr, 0, "info", out.data(), 33));
  for (std::uint8_t b : out) EXPECT_EQ(b, 0x5a);
}

}  // namespace
}  // namespace tolvi
