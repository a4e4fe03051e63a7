#pragma once

namespace tolvi::crypto_testing {

// Test seam: while set, every field multiplication inside x25519 flips the lowest bit of its
// result, so x25519 computes wrong answers and the self-test must notice.
void inject_field_multiplication_fault(bool on);

}  // namespace tolvi::crypto_testing
