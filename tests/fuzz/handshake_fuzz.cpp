// The host side of the handshake against a client that says whatever the input says. The
// first byte picks how far the client plays by the rules before the rest of the input goes
// out as it is:
//   0: nothing valid (the rest is the first message stream)
//   1: a valid KeyExchange, then the rest (the sealed stage sees raw bytes)
//   2: a valid KeyExchange, then the rest sealed as one record (type and payload)
//   3: a valid KeyExchange and the right proof, then the rest as session bytes
#include <cstddef>
#include <cstdint>
#include <future>
#include <vector>

#include "base/log.h"
#include "client_connection.h"
#include "core/session.h"
#include "crypto/x25519.h"
#include "fakes/fake_host_environment.h"
#include "platform/net.h"
#include "protocol/message_types.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int mode = data[0] & 3;
  const std::uint8_t* rest = data + 1;
  const std::size_t rest_size = size - 1;

  tolvi::platform::Socket peer, host_end;
  if (!tolvi::platform::loopback_pair(peer, host_end)) return 0;
  host_end.set_receive_timeout_ms(2000);
  tolvi::FakeHostEnvironment env;
  tolvi::SessionTimings timings;
  timings.failed_proof_pause = std::chrono::milliseconds(0);
  tolvi::Session session(std::move(host_end), env, timings);
  auto result = std::async(std::launch::async, [&] { return session.handshake(); });

  tolvi::client::ClientConnection client(std::move(peer));
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  tolvi::client::HostHello hello;
  if (client.receive(type, payload) && tolvi::client::parse_host_hello(payload, hello)) {
    if (mode >= 1) {
      std::uint8_t priv[32] = {3}, pub[32];
      tolvi::x25519_base(pub, priv);
      client.send(tolvi::code(tolvi::MessageType::KeyExchange), pub, 32);
      tolvi::client::ClientKeys keys;
      tolvi::client::derive_client_keys(priv, pub, hello, keys);
      client.install_keys(keys.client_to_host, keys.host_to_client);
      if (mode == 2 && rest_size > 0) {
        client.send(rest[0], rest + 1, rest_size - 1);
      } else if (mode == 3) {
        std::uint8_t proof[32];
        tolvi::client::password_proof(env.password, keys.transcript_hash, "client", proof);
        client.send(tolvi::code(tolvi::MessageType::AuthProof), proof, 32);
      }
    }
    if (mode != 2) client.send_raw(rest, rest_size);
  }
  client.socket().finish_sending();
  if (result.get()) session.receive_loop();
  return 0;
}
