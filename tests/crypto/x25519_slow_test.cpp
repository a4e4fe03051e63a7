// The million-iteration vector: about a minute, so it carries the CTest label `slow`.
#include <gtest/gtest.h>

#include "crypto/hex.h"
#include "crypto/x25519_iterated.h"

namespace tolvi {
namespace {

TEST(X25519Slow, MatchesRfc7748MillionIterations) {
  EXPECT_EQ(test::to_hex(test::x25519_iterated(1000000)),
            "7c3911e0ab2586fd864497297e575e6f3bc601c0883c30df5f4dd2d24f665424");
}

}  // namespace
}  // namespace tolvi
