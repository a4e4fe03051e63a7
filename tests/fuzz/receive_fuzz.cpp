// The receive path of a session: bytes from the network into Connection::receive and the
// dispatcher. Bit 0 of the first input byte picks plaintext or sealed frames, bit 1 the short
// frame limit that holds before authentication. In the sealed form the
// rest is a list of chunks: a control byte c; c >= 0x80 appends the next c - 0x80 bytes as
// they are (so broken frames are tried too), c < 0x80 takes a 16-bit length n and seals the
// next n bytes (message type and payload) as the next well-formed record.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/little_endian.h"
#include "core/limits.h"
#include "core/session.h"
#include "crypto/record_key.h"
#include "fakes/fake_host_environment.h"
#include "platform/net.h"

namespace {

const std::uint8_t kHostToClient[16] = {0x11};
const std::uint8_t kClientToHost[16] = {0x22};

std::vector<std::uint8_t> sealed_stream(const std::uint8_t* data, std::size_t size) {
  tolvi::RecordKey key(kClientToHost);
  std::vector<std::uint8_t> stream;
  std::size_t at = 0;
  while (at < size) {
    const std::uint8_t control = data[at++];
    if (control >= 0x80) {
      const std::size_t n = std::min<std::size_t>(control - 0x80, size - at);
      stream.insert(stream.end(), data + at, data + at + n);
      at += n;
      continue;
    }
    if (size - at < 2) break;
    std::size_t n = data[at] | data[at + 1] << 8;
    at += 2;
    n = std::min(n, size - at);
    if (n == 0) continue;  // a record always holds its type byte
    std::vector<std::uint8_t> sealed;
    if (!key.seal(data + at, n, sealed)) break;
    tolvi::append_le<std::uint32_t>(stream, static_cast<std::uint32_t>(sealed.size()));
    stream.insert(stream.end(), sealed.begin(), sealed.end());
    at += n;
  }
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool sealed = data[0] & 1;
  const std::vector<std::uint8_t> stream =
      sealed ? sealed_stream(data + 1, size - 1) : std::vector<std::uint8_t>(data + 1, data + size);

  tolvi::platform::Socket peer, host_end;
  if (!tolvi::platform::loopback_pair(peer, host_end)) return 0;
  tolvi::FakeHostEnvironment env;
  tolvi::Session session(std::move(host_end), env);
  if (sealed && !session.connection().install_keys(kHostToClient, kClientToHost)) return 0;
  if (data[0] & 2) session.connection().set_max_frame_bytes(tolvi::kMaxPreAuthFrameBytes);
  const tolvi::platform::SendPart part{stream.data(), stream.size()};
  peer.send_all(&part, 1);
  peer.finish_sending();
  session.receive_loop();  // until the stream ends or a frame is refused
  return 0;
}
