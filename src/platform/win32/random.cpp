#include "platform/random.h"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <climits>
#include <cstdint>

namespace tolvi {

bool random_bytes(void* buffer, std::size_t length) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  // BCryptGenRandom takes a 32-bit length: larger requests go in pieces.
  while (length > 0) {
    const ULONG chunk = length > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(length);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    out += chunk;
    length -= chunk;
  }
  return true;
}

}  // namespace tolvi
