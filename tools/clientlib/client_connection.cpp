#include "client_connection.h"

#include <algorithm>
#include <cstring>

#include "base/secure_zero.h"
#include "crypto/hash.h"
#include "crypto/x25519.h"
#include "platform/random.h"
#include "protocol/limits.h"
#include "protocol/message_types.h"

namespace tolvi::client {
namespace {

constexpr std::uint8_t kHelloPrefix[] = {'T', 'O', 'L', 'V', 0x02, 0x00, 0x02};
constexpr std::size_t kHelloFixedBytes = 103;
// The receive buffer: one read takes up to this much, several frames of a fast stream.
constexpr std::size_t kReadAheadBytes = 256 * 1024;

void put_u32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t get_u32(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

}  // namespace

bool ClientConnection::send(std::uint8_t type, const std::uint8_t* data, std::size_t length) {
  // One buffer, kept between sends (senders take turns): the message is copied in once and
  // sealed where it lies, the tag landing behind it.
  std::vector<std::uint8_t>& frame = send_frame_;
  if (send_key_) {
    frame.resize(4 + 1 + length + RecordKey::kTagBytes);
    put_u32(frame.data(), static_cast<std::uint32_t>(1 + length + RecordKey::kTagBytes));
    frame[4] = type;
    if (length) std::memcpy(frame.data() + 5, data, length);
    if (!send_key_->seal_in_place(frame.data() + 4, 1 + length, frame.data() + 5 + length)) {
      return false;
    }
  } else {
    frame.resize(5 + length);
    frame[0] = type;
    put_u32(frame.data() + 1, static_cast<std::uint32_t>(length));
    if (length) std::memcpy(frame.data() + 5, data, length);
  }
  return send_raw(frame.data(), frame.size());
}

bool ClientConnection::send_raw(const void* data, std::size_t length) {
  const platform::SendPart part{data, length};
  return socket_.send_all(&part, 1);
}

bool ClientConnection::fill(std::size_t length, bool frame_start) {
  if (in_start_ == in_end_) in_start_ = in_end_ = 0;
  if (in_end_ - in_start_ >= length) return true;
  if (in_.size() - in_start_ < length) {
    // The frame does not fit behind its start: what is buffered moves to the front, and the
    // buffer grows for a frame longer than it (the length is within the frame limits).
    // Nothing to move leaves the buffer alone: it may not be allocated yet.
    if (in_end_ > in_start_) {
      std::memmove(in_.data(), in_.data() + in_start_, in_end_ - in_start_);
    }
    in_end_ -= in_start_;
    in_start_ = 0;
    if (in_.size() < length) in_.resize(std::max(length, kReadAheadBytes));
  }
  while (in_end_ - in_start_ < length) {
    const long n = socket_.receive_some(in_.data() + in_end_, in_.size() - in_end_);
    if (n <= 0) {
      if (n == 0) {
        failure_ = Failure::Closed;
      } else if (n == platform::Socket::kTimedOut && frame_start && in_end_ == in_start_) {
        failure_ = Failure::Idle;
      } else {
        failure_ = Failure::Broken;
      }
      return false;
    }
    in_end_ += static_cast<std::size_t>(n);
  }
  return true;
}

bool ClientConnection::receive(std::uint8_t& type, std::vector<std::uint8_t>& payload) {
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
  if (!receive_view(type, data, length)) return false;
  payload.assign(data, data + length);
  return true;
}

bool ClientConnection::receive_view(std::uint8_t& type, const std::uint8_t*& data,
                                    std::size_t& length) {
  if (kept_) {
    kept_ = false;
    type = kept_type_;
    data = kept_data_;
    length = kept_length_;
    last_frame_bytes_ = kept_frame_bytes_;
    failure_ = Failure::None;
    return true;
  }
  return receive_frame(type, data, length);
}

bool ClientConnection::frame_ready() const {
  const std::size_t have = in_end_ - in_start_;
  const std::size_t header = receive_key_ ? 4 : 5;
  if (have < header) return false;
  const std::uint32_t length = get_u32(in_.data() + in_start_ + (receive_key_ ? 0 : 1));
  return have - header >= length;
}

std::size_t ClientConnection::receive_following(std::uint8_t type, const std::uint8_t* prefix,
                                                std::size_t prefix_length,
                                                platform::SendPart* parts, std::size_t max) {
  std::size_t count = 0;
  // Only whole frames: reading would move the buffer under the views handed out.
  while (count < max && !kept_ && frame_ready()) {
    std::uint8_t next_type = 0;
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    // A frame that fails leaves the failure for the caller's next receive, which finds the
    // stream broken.
    if (!receive_frame(next_type, data, length)) break;
    if (next_type != type || length < prefix_length ||
        std::memcmp(data, prefix, prefix_length) != 0) {
      kept_ = true;
      kept_type_ = next_type;
      kept_data_ = data;
      kept_length_ = length;
      kept_frame_bytes_ = last_frame_bytes_;
      break;
    }
    if (length > prefix_length) parts[count++] = {data + prefix_length, length - prefix_length};
  }
  return count;
}

bool ClientConnection::receive_frame(std::uint8_t& type, const std::uint8_t*& data,
                                     std::size_t& length) {
  if (!broken_ && read_frame(type, data, length)) return true;
  // A frame cut short, beyond the limits or not opening leaves the stream out of step for
  // good: every later receive fails the same way (also after receive_following met it).
  if (broken_) failure_ = Failure::Broken;
  broken_ = failure_ == Failure::Broken;
  return false;
}

bool ClientConnection::read_frame(std::uint8_t& type, const std::uint8_t*& data,
                                  std::size_t& length) {
  failure_ = Failure::Broken;
  if (!receive_key_) {
    if (!fill(5, true)) return false;
    const std::uint32_t payload_length = get_u32(in_.data() + in_start_ + 1);
    if (payload_length > kMaxPayloadBytes) return false;
    if (!fill(5 + std::size_t{payload_length}, false)) return false;
    type = in_[in_start_];
    data = in_.data() + in_start_ + 5;
    length = payload_length;
    in_start_ += 5 + std::size_t{payload_length};
    last_frame_bytes_ = 5 + std::size_t{payload_length};
    failure_ = Failure::None;
    return true;
  }
  if (!fill(4, true)) return false;
  const std::uint32_t sealed_length = get_u32(in_.data() + in_start_);
  if (sealed_length < kMinSealedBytes || sealed_length > kMaxSealedBytes) return false;
  if (!fill(4 + std::size_t{sealed_length}, false)) return false;
  failure_ = Failure::Broken;
  std::uint8_t* const record = in_.data() + in_start_ + 4;
  in_start_ += 4 + std::size_t{sealed_length};
  if (!receive_key_->open_in_place(record, sealed_length)) return false;
  type = record[0];
  data = record + 1;
  length = sealed_length - 1 - RecordKey::kTagBytes;
  last_frame_bytes_ = 4 + std::size_t{sealed_length};
  failure_ = Failure::None;
  return true;
}

bool ClientConnection::set_receive_timeout(std::chrono::milliseconds timeout) {
  return socket_.set_receive_timeout_ms(static_cast<unsigned>(timeout.count()));
}

void ClientConnection::install_keys(const std::uint8_t client_to_host[16],
                                    const std::uint8_t host_to_client[16]) {
  send_key_ = std::make_unique<RecordKey>(client_to_host);
  receive_key_ = std::make_unique<RecordKey>(host_to_client);
}

bool parse_host_hello(const std::vector<std::uint8_t>& payload, HostHello& out) {
  if (payload.size() < kHelloFixedBytes ||
      std::memcmp(payload.data(), kHelloPrefix, sizeof kHelloPrefix) != 0) {
    return false;
  }
  out.payload = payload;
  std::memcpy(out.host_random, payload.data() + 7, 32);
  std::memcpy(out.identity_public, payload.data() + 39, 32);
  std::memcpy(out.ephemeral_public, payload.data() + 71, 32);
  out.computer_name.assign(payload.begin() + kHelloFixedBytes, payload.end());
  return true;
}

ClientKeys::~ClientKeys() {
  secure_zero(client_to_host, sizeof client_to_host);
  secure_zero(host_to_client, sizeof host_to_client);
}

bool derive_client_keys(const std::uint8_t ephemeral_private[32],
                        const std::uint8_t ephemeral_public[32], const HostHello& hello,
                        ClientKeys& out) {
  std::uint8_t material[64];
  x25519(material, ephemeral_private, hello.ephemeral_public);
  x25519(material + 32, ephemeral_private, hello.identity_public);
  static constexpr char kLabel[] = "Tolvi v2";
  std::vector<std::uint8_t> transcript(kLabel, kLabel + 8);
  transcript.insert(transcript.end(), hello.payload.begin(), hello.payload.end());
  transcript.insert(transcript.end(), ephemeral_public, ephemeral_public + 32);
  const bool ok = sha256(transcript.data(), transcript.size(), out.transcript_hash) &&
                  hkdf_sha256(material, sizeof material, out.transcript_hash, 32, "tolvi c2s",
                              out.client_to_host, 16) &&
                  hkdf_sha256(material, sizeof material, out.transcript_hash, 32, "tolvi s2c",
                              out.host_to_client, 16);
  secure_zero(material, sizeof material);
  return ok;
}

bool password_proof(const std::string& password, const std::uint8_t transcript[32],
                    const char* label, std::uint8_t out[32]) {
  std::uint8_t hash[32];
  if (!sha256(reinterpret_cast<const std::uint8_t*>(password.data()), password.size(), hash)) {
    return false;
  }
  std::vector<std::uint8_t> message(transcript, transcript + 32);
  message.insert(message.end(), label, label + std::strlen(label));
  const bool ok = hmac_sha256(hash, sizeof hash, message.data(), message.size(), out);
  secure_zero(hash, sizeof hash);
  return ok;
}

const char* describe(HandshakeResult result) {
  switch (result) {
    case HandshakeResult::Authenticated:
      return "authenticated";
    case HandshakeResult::WrongPassword:
      return "wrong password";
    case HandshakeResult::HostProofMismatch:
      return "protocol violation: the host could not prove it knows the password";
    case HandshakeResult::ProtocolViolation:
      return "protocol violation";
    case HandshakeResult::ConnectionLost:
      return "the host closed the connection";
  }
  return "?";
}

HandshakeResult client_handshake(ClientConnection& connection, const std::string& password,
                                 HostHello* hello_out) {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  if (!connection.receive(type, payload)) return HandshakeResult::ConnectionLost;
  HostHello hello;
  if (type != code(MessageType::HostHello) || !parse_host_hello(payload, hello)) {
    return HandshakeResult::ProtocolViolation;
  }
  std::uint8_t ephemeral_private[32];
  std::uint8_t ephemeral_public[32];
  if (!random_bytes(ephemeral_private, sizeof ephemeral_private)) {
    return HandshakeResult::ConnectionLost;
  }
  x25519_base(ephemeral_public, ephemeral_private);
  if (!connection.send(code(MessageType::KeyExchange), ephemeral_public, 32)) {
    secure_zero(ephemeral_private, sizeof ephemeral_private);
    return HandshakeResult::ConnectionLost;
  }
  ClientKeys keys;
  const bool derived = derive_client_keys(ephemeral_private, ephemeral_public, hello, keys);
  secure_zero(ephemeral_private, sizeof ephemeral_private);
  if (!derived) return HandshakeResult::ConnectionLost;
  connection.install_keys(keys.client_to_host, keys.host_to_client);

  std::uint8_t proof[32];
  std::uint8_t expected_host_proof[32];
  if (!password_proof(password, keys.transcript_hash, "client", proof) ||
      !password_proof(password, keys.transcript_hash, "host", expected_host_proof)) {
    return HandshakeResult::ConnectionLost;
  }
  if (!connection.send(code(MessageType::AuthProof), proof, sizeof proof)) {
    return HandshakeResult::ConnectionLost;
  }
  if (!connection.receive(type, payload)) return HandshakeResult::ConnectionLost;
  if (type != code(MessageType::AuthResult) || payload.empty()) {
    return HandshakeResult::ProtocolViolation;
  }
  if (payload.size() == 1 && payload[0] == 0x00) return HandshakeResult::WrongPassword;
  if (payload.size() != 33 || payload[0] != 0x01) return HandshakeResult::ProtocolViolation;
  if (std::memcmp(payload.data() + 1, expected_host_proof, 32) != 0) {
    return HandshakeResult::HostProofMismatch;
  }
  if (hello_out) *hello_out = std::move(hello);
  return HandshakeResult::Authenticated;
}

}  // namespace tolvi::client
