#include "crypto/self_test.h"

#include <gtest/gtest.h>

#include "crypto/x25519_test_hook.h"
#include "platform/crypto_provider.h"

namespace tolvi {
namespace {

// Each fault is switched off again even when an assertion fails.
struct FaultyMultiplication {
  FaultyMultiplication() { crypto_testing::inject_field_multiplication_fault(true); }
  ~FaultyMultiplication() { crypto_testing::inject_field_multiplication_fault(false); }
};

struct MissingAesProvider {
  MissingAesProvider() { platform::simulate_missing_aes_provider_for_testing(true); }
  ~MissingAesProvider() { platform::simulate_missing_aes_provider_for_testing(false); }
};

TEST(CryptoSelfTest, PassesOnAWorkingMachine) { EXPECT_TRUE(crypto_self_test()); }

TEST(CryptoSelfTest, FailsWithAFaultyFieldMultiplication) {
  FaultyMultiplication fault;
  EXPECT_FALSE(crypto_self_test());
}

TEST(CryptoSelfTest, FailsWhenNoAesKeyCanBeMade) {
  MissingAesProvider missing;
  EXPECT_FALSE(crypto_self_test());
}

}  // namespace
}  // namespace tolvi
