#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crypto/record_key.h"
#include "platform/net.h"

namespace tolvi::client {

// The client's end of a host connection: synchronous framing on one socket, plaintext until
// keys are installed, sealed after (the client seals with the client-to-host key and opens
// with the host-to-client key). One thread receives; after the handshake another thread may
// send at the same time (sending touches only the send key and the socket's sending side),
// as long as the senders take turns.
class ClientConnection {
 public:
  explicit ClientConnection(platform::Socket socket) : socket_(std::move(socket)) {}

  // One whole message, in the form of the moment; false when the socket fails.
  bool send(std::uint8_t type, const std::uint8_t* data, std::size_t length);
  bool send(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
    return send(type, payload.data(), payload.size());
  }
  // Bytes exactly as given (malformed frames for tests).
  bool send_raw(const void* data, std::size_t length);

  // One whole message; false on a closed or failed socket, a time-out, a frame above the
  // limits or a record that does not open. last_failure() says which.
  bool receive(std::uint8_t& type, std::vector<std::uint8_t>& payload);
  // The same without a copy: `data` points into the connection's receive buffer (the record
  // opened where it was read) and stays valid until the next receive.
  bool receive_view(std::uint8_t& type, const std::uint8_t*& data, std::size_t& length);
  // After a message of `type` whose payload starts with `prefix` (prefix_length bytes): the
  // messages behind it that are already whole in the receive buffer and have the same type and
  // prefix, their payloads after the prefix into `parts` (at most `max`, empty ones skipped);
  // the count. The first message that differs stays for the next receive. The parts are views
  // like receive_view's, and so is `prefix` meanwhile: one gathered write can pass on a run of
  // messages, such as tunnel data for one connection, without copying them.
  std::size_t receive_following(std::uint8_t type, const std::uint8_t* prefix,
                                std::size_t prefix_length, platform::SendPart* parts,
                                std::size_t max);
  enum class Failure { None, Closed, Idle, Broken };
  // Idle: the time-out expired before the first byte of a frame (the stream is still usable).
  Failure last_failure() const { return failure_; }
  // Bytes of the last frame received, header included.
  std::size_t last_frame_bytes() const { return last_frame_bytes_; }

  // 0: wait for ever.
  bool set_receive_timeout(std::chrono::milliseconds timeout);
  void install_keys(const std::uint8_t client_to_host[16], const std::uint8_t host_to_client[16]);
  bool sealed() const { return send_key_ != nullptr; }
  platform::Socket& socket() { return socket_; }

 private:
  bool receive_frame(std::uint8_t& type, const std::uint8_t*& data, std::size_t& length);
  bool read_frame(std::uint8_t& type, const std::uint8_t*& data, std::size_t& length);
  // Whether a whole frame is in the receive buffer.
  bool frame_ready() const;
  // Makes `length` bytes available from in_start_, reading ahead as far as the buffer goes
  // (one read often brings several frames); false, with failure_ set, when the socket fails.
  bool fill(std::size_t length, bool frame_start);

  platform::Socket socket_;
  Failure failure_ = Failure::None;
  bool broken_ = false;
  std::size_t last_frame_bytes_ = 0;
  std::unique_ptr<RecordKey> send_key_;
  std::unique_ptr<RecordKey> receive_key_;
  std::vector<std::uint8_t> send_frame_;  // senders' turn
  // The receiving thread's: bytes read and not yet taken are in_[in_start_, in_end_).
  std::vector<std::uint8_t> in_;
  std::size_t in_start_ = 0;
  std::size_t in_end_ = 0;
  // A message receive_following read and kept for the next receive.
  bool kept_ = false;
  std::uint8_t kept_type_ = 0;
  const std::uint8_t* kept_data_ = nullptr;
  std::size_t kept_length_ = 0;
  std::size_t kept_frame_bytes_ = 0;
};

// HostHello, taken apart.
struct HostHello {
  std::vector<std::uint8_t> payload;  // as received; it enters the transcript
  std::uint8_t host_random[32] = {};
  std::uint8_t identity_public[32] = {};
  std::uint8_t ephemeral_public[32] = {};
  std::string computer_name;
};
// false unless the payload has the magic, the version bytes and all three keys.
bool parse_host_hello(const std::vector<std::uint8_t>& payload, HostHello& out);

// The keys and transcript hash of one connection, as the client derives them.
struct ClientKeys {
  std::uint8_t transcript_hash[32] = {};
  std::uint8_t client_to_host[16] = {};
  std::uint8_t host_to_client[16] = {};
  ~ClientKeys();
};
bool derive_client_keys(const std::uint8_t ephemeral_private[32],
                        const std::uint8_t ephemeral_public[32], const HostHello& hello,
                        ClientKeys& out);
// HMAC(SHA-256(password), transcript | label): label "client" for the client's proof, "host"
// for the host's.
bool password_proof(const std::string& password, const std::uint8_t transcript[32],
                    const char* label, std::uint8_t out[32]);

enum class HandshakeResult {
  Authenticated,
  WrongPassword,      // AuthResult 00
  HostProofMismatch,  // AuthResult 01 with a proof that is not the host's
  ProtocolViolation,  // something that is not the expected message
  ConnectionLost,     // the host closed or stopped answering
};
const char* describe(HandshakeResult result);

// The whole client side: HostHello, KeyExchange, keys, AuthProof, AuthResult.
HandshakeResult client_handshake(ClientConnection& connection, const std::string& password,
                                 HostHello* hello_out = nullptr);

}  // namespace tolvi::client
