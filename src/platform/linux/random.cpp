#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace tolvi {

bool random_bytes(void* buffer, std::size_t length) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (length > 0) {
    const ssize_t got = getrandom(out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace tolvi
