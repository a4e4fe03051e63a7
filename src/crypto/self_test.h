#pragma once

namespace tolvi {

// X25519 known answer and a record seal/open round trip; true when both pass.
bool crypto_self_test();

}  // namespace tolvi
