// Session::handshake, the host side of key agreement and password proof:
//   host   -> HostHello   (plaintext) "TOLV" 02 00 02 | random | identity pub | ephemeral pub |
//   name client -> KeyExchange (plaintext) client ephemeral pub (32) both sides derive the record
//   keys and seal from here on client -> AuthProof   (sealed)    HMAC(SHA-256(password), transcript
//   | "client") host   -> AuthResult  (sealed)    01 | HMAC(SHA-256(password), transcript |
//   "host"), or 00
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "base/log.h"
#include "base/secure_zero.h"
#include "core/limits.h"
#include "core/session.h"
#include "crypto/hash.h"
#include "crypto/x25519.h"
#include "platform/random.h"
#include "protocol/host_messages.h"
#include "protocol/message_types.h"
#include "settings/settings_store.h"

namespace tolvi {
namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kMaxNameBytes = 255;  // a 256-byte buffer with its terminator
constexpr char kFallbackName[] = "Windows";
constexpr char kTranscriptLabel[] = "Tolvi v2";
constexpr char kClientToHostInfo[] = "tolvi c2s";
constexpr char kHostToClientInfo[] = "tolvi s2c";
constexpr char kClientProofLabel[] = "client";
constexpr char kHostProofLabel[] = "host";

bool proof(const std::uint8_t password_hash[32], const std::uint8_t transcript[32],
           const char* label, std::uint8_t out[32]) {
  std::uint8_t message[32 + 8];
  const std::size_t label_length = std::strlen(label);
  std::memcpy(message, transcript, 32);
  std::memcpy(message + 32, label, label_length);
  return hmac_sha256(password_hash, 32, message, 32 + label_length, out);
}

// Compares without an early exit, so the time taken says nothing about where they differ.
bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
  std::uint8_t difference = 0;
  for (std::size_t i = 0; i < length; ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

bool all_zero(const std::uint8_t* bytes, std::size_t length) {
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < length; ++i) any |= bytes[i];
  return any == 0;
}

// A line about a peer that is not authenticated yet: through the guard, which limits how many
// one address may write, or straight to the log.
void pre_auth_line(HandshakeGuard* guard, const char* format, ...) TOLVI_PRINTF_FORMAT(2, 3);
void pre_auth_line(HandshakeGuard* guard, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (guard) {
    guard->log_line(line);
  } else {
    log_message("%s", line);
  }
}

// Said once while the host has no password, and again after one has come and gone.
std::atomic<bool> missing_password_told{false};

std::string hello_name(std::string name) {
  name = name.substr(0, std::min(name.find('\0'), kMaxNameBytes));
  return name.empty() ? std::string(kFallbackName) : name;
}

}  // namespace

void Session::refuse_without_password() {
  if (!missing_password_told.exchange(true)) {
    log_message("no password is set: every client is refused until one is set");
  }
  environment_.status_observer().on_host_error(kNoPasswordStatus);
}

bool Session::handshake(HandshakeGuard* guard) {
  const char* name = connection_.peer_name().c_str();
  proof_was_wrong_ = false;
  // Only the 32-byte KeyExchange and AuthProof may come before authentication.
  connection_.set_max_frame_bytes(kMaxPreAuthFrameBytes);

  SecretArray<kKeyBytes> identity;
  SecretArray<kKeyBytes> ephemeral;
  std::uint8_t identity_public[kKeyBytes];
  std::uint8_t ephemeral_public[kKeyBytes];
  std::uint8_t host_random[kKeyBytes];
  // A generator failure would make the ephemeral key predictable: refuse instead.
  if (!environment_.load_identity_key(identity.data()) ||
      !random_bytes(ephemeral.data(), kKeyBytes) || !random_bytes(host_random, kKeyBytes)) {
    log_message("encryption setup failed");
    return false;
  }
  x25519_base(identity_public, identity.data());
  x25519_base(ephemeral_public, ephemeral.data());

  const std::vector<std::uint8_t> hello = write_host_hello(
      host_random, identity_public, ephemeral_public, hello_name(environment_.computer_name()));
  connection_.send(code(MessageType::HostHello), hello);

  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  if (!connection_.receive(type, payload) || type != code(MessageType::KeyExchange) ||
      payload.size() != kKeyBytes) {
    pre_auth_line(guard, "%s: client did not start key exchange (old Tolvi version?)", name);
    return false;
  }

  SecretArray<2 * kKeyBytes> material;
  x25519(material.data(), ephemeral.data(), payload.data());
  x25519(material.data() + kKeyBytes, identity.data(), payload.data());
  // A public key of small order gives an all-zero shared secret, and keys anyone can compute
  // from the transcript: refuse it (RFC 7748, section 6.1).
  if (all_zero(material.data(), kKeyBytes) || all_zero(material.data() + kKeyBytes, kKeyBytes)) {
    secure_zero(material.data(), sizeof material.bytes);
    pre_auth_line(guard, "%s: key exchange refused (weak public key)", name);
    return false;
  }

  std::vector<std::uint8_t> transcript_input(kTranscriptLabel,
                                             kTranscriptLabel + sizeof kTranscriptLabel - 1);
  transcript_input.insert(transcript_input.end(), hello.begin(), hello.end());
  transcript_input.insert(transcript_input.end(), payload.begin(), payload.end());
  std::uint8_t transcript[32];
  SecretArray<RecordKey::kKeyBytes> client_to_host;
  SecretArray<RecordKey::kKeyBytes> host_to_client;
  const bool derived =
      sha256(transcript_input.data(), transcript_input.size(), transcript) &&
      hkdf_sha256(material.data(), sizeof material.bytes, transcript, sizeof transcript,
                  kClientToHostInfo, client_to_host.data(), RecordKey::kKeyBytes) &&
      hkdf_sha256(material.data(), sizeof material.bytes, transcript, sizeof transcript,
                  kHostToClientInfo, host_to_client.data(), RecordKey::kKeyBytes);
  secure_zero(material.data(), sizeof material.bytes);
  secure_zero(ephemeral.data(), kKeyBytes);
  secure_zero(identity.data(), kKeyBytes);
  if (!derived || !connection_.install_keys(host_to_client.data(), client_to_host.data())) {
    log_message("encryption setup failed");
    return false;
  }
  secure_zero(client_to_host.data(), RecordKey::kKeyBytes);
  secure_zero(host_to_client.data(), RecordKey::kKeyBytes);

  SecretArray<32> password_hash;
  bool no_password = false;
  {
    std::string password = environment_.load_password();
    no_password = password.empty();
    sha256(reinterpret_cast<const std::uint8_t*>(password.data()), password.size(),
           password_hash.data());
    secure_zero(password.data(), password.size());
  }

  if (no_password) {
    refuse_without_password();
  } else {
    missing_password_told.store(false);
  }
  if (!connection_.receive(type, payload)) return false;
  // Each address has its proofs checked one at a time, after the previous verdict's hold.
  if (guard && !guard->wait_for_turn()) return false;

  SecretArray<32> expected;
  const bool computed = proof(password_hash.data(), transcript, kClientProofLabel, expected.data());
  // Without a password every proof is wrong, the one made from the empty text too.
  const bool right = !no_password && computed && type == code(MessageType::AuthProof) &&
                     payload.size() == 32 && same_bytes(payload.data(), expected.data(), 32);
  // Held alike for right and wrong proofs, so hanging up early tells a guesser nothing.
  if (guard) pause(guard->proof_checked(right));
  if (right) {
    SecretArray<32> host_proof;
    const bool host_proof_made =
        proof(password_hash.data(), transcript, kHostProofLabel, host_proof.data());
    secure_zero(password_hash.data(), 32);
    if (host_proof_made) {
      std::uint8_t result[1 + 32];
      write_auth_success(host_proof.data(), result);
      connection_.send(code(MessageType::AuthResult), result, sizeof result);
      secure_zero(result, sizeof result);
      // Written before this session can be displaced (or end): closing drops what is queued,
      // and a client must never meet a closed connection instead of its verdict.
      connection_.wait_sent(kRefusalWriteLimit);
      connection_.set_max_frame_bytes(kMaxPayloadBytes);
      log_message("%s: authenticated (encrypted)", name);
      claim_client_status();
      return true;
    }
    // Without a host proof the client could not trust us; end as a setup failure.
    log_message("encryption setup failed");
    return false;
  }
  pre_auth_line(guard, "%s: authentication failed", name);
  proof_was_wrong_ = true;
  const std::uint8_t refusal = kAuthFailed;
  connection_.send(code(MessageType::AuthResult), &refusal, 1);
  // The sender thread writes the refusal; a busy machine may not run it within the pause, and
  // closing the connection drops what is still queued.
  connection_.wait_sent(kRefusalWriteLimit);
  pause(timings_.failed_proof_pause);
  secure_zero(password_hash.data(), 32);
  return false;
}

}  // namespace tolvi
