#include "crypto/x25519.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "crypto/hex.h"
#include "crypto/x25519_iterated.h"

namespace tolvi {
namespace {

using test::from_hex32;
using test::to_hex;
using Bytes32 = std::array<std::uint8_t, 32>;

Bytes32 x25519_of(const Bytes32& scalar, const Bytes32& u) {
  Bytes32 out{};
  x25519(out.data(), scalar.data(), u.data());
  return out;
}

TEST(X25519, MatchesRfc7748SingleVectors) {
  struct Case {
    const char* scalar;
    const char* u;
    const char* out;
  };
  // The second u has bit 255 set, which must be ignored.
  const Case kCases[] = {
      {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
      {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(to_hex(x25519_of(from_hex32(c.scalar), from_hex32(c.u))), c.out) << c.scalar;
  }
}

TEST(X25519, MatchesRfc7748IteratedVectors) {
  EXPECT_EQ(to_hex(test::x25519_iterated(1)),
            "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
  EXPECT_EQ(to_hex(test::x25519_iterated(1000)),
            "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

TEST(X25519, Rfc7748KeyAgreement) {
  const Bytes32 alice =
      from_hex32("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const Bytes32 bob =
      from_hex32("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
  Bytes32 alice_public{}, bob_public{};
  x25519_base(alice_public.data(), alice.data());
  x25519_base(bob_public.data(), bob.data());
  EXPECT_EQ(to_hex(alice_public),
            "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(to_hex(bob_public), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  const char* kShared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
  EXPECT_EQ(to_hex(x25519_of(alice, bob_public)), kShared);
  EXPECT_EQ(to_hex(x25519_of(bob, alice_public)), kShared);
}

// Encodings of the same field element give the same result: bit 255 is dropped, and values
// at or above p are reduced.
TEST(X25519, EquivalentEncodingsOfUAgree) {
  const Bytes32 scalar =
      from_hex32("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
  struct Case {
    const char* u;
    const char* same_as;
  };
  const Case kCases[] = {
      {"e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1ccc",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c"},
      // p + 9 is 9; all ones lose bit 255 and leave 2^255 - 1 = p + 18, which is 18.
      {"f6ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       "0900000000000000000000000000000000000000000000000000000000000000"},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
       "1200000000000000000000000000000000000000000000000000000000000000"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(x25519_of(scalar, from_hex32(c.u)), x25519_of(scalar, from_hex32(c.same_as))) << c.u;
  }
}

// Points of small order give the all-zero result, which is returned as it is (no check).
TEST(X25519, SmallOrderPointsGiveZero) {
  const Bytes32 scalar =
      from_hex32("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const char* kSmallOrder[] = {
      "0000000000000000000000000000000000000000000000000000000000000000",  // 0
      "0100000000000000000000000000000000000000000000000000000000000000",  // 1
      "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",  // order 8
      "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",  // order 8
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p - 1
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p (= 0)
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p + 1 (= 1)
  };
  for (const char* u : kSmallOrder) {
    EXPECT_EQ(x25519_of(scalar, from_hex32(u)), Bytes32{}) << u;
  }
}

TEST(X25519, LeavesItsInputsUnchanged) {
  const Bytes32 scalar =
      from_hex32("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff");
  const Bytes32 u = from_hex32("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1ccc");
  Bytes32 scalar_copy = scalar, u_copy = u, out{};
  x25519(out.data(), scalar_copy.data(), u_copy.data());
  EXPECT_EQ(scalar_copy, scalar);
  EXPECT_EQ(u_copy, u);
}

}  // namespace
}  // namespace tolvi
