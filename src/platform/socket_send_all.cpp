// Writing a whole gathered message is the same on every platform: send what the socket takes,
// step past what was written, and go on with the rest.
#include <algorithm>

#include "platform/net.h"

namespace tolvi::platform {

bool Socket::send_all(const SendPart* parts, std::size_t count) {
  SendPart rest[kMaxSendParts];
  if (count > kMaxSendParts) return false;
  std::size_t first = 0;
  for (std::size_t i = 0; i < count; ++i) rest[i] = parts[i];
  while (first < count) {
    if (rest[first].length == 0) {
      ++first;
      continue;
    }
    long written = send_some(rest + first, count - first);
    if (written <= 0) return false;
    while (written > 0) {
      const std::size_t step = std::min(static_cast<std::size_t>(written), rest[first].length);
      rest[first].data = static_cast<const char*>(rest[first].data) + step;
      rest[first].length -= step;
      written -= static_cast<long>(step);
      if (rest[first].length == 0) ++first;
    }
  }
  return true;
}

}  // namespace tolvi::platform
