#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/secure_zero.h"

namespace tolvi {

// The messages between the service and an agent it started as the signed-in person (GNOME on
// Wayland, whose interfaces are on that person's session bus). Such an agent cannot read the
// machine's secrets, which are root's alone, nor write the machine's status: the service reads
// the secrets and hands them over on a descriptor the agent inherits, and writes the status
// lines the agent sends back. One message per datagram; the first byte says which.
//   secrets (service to agent): 'S', password length (2 bytes, little-endian), password,
//                               identity key (32 bytes)
//   status (agent to service):  'T', the status text (UTF-8)

constexpr std::size_t kHandOverIdentityBytes = 32;
// Longer passwords than this are not handed over (nobody types one; the record stays small).
constexpr std::size_t kMaxHandedPasswordBytes = 1024;
// The largest message either side sends or reads.
constexpr std::size_t kMaxHandOverMessage = 1 + 2 + kMaxHandedPasswordBytes + kHandOverIdentityBytes;
// Status texts longer than this are cut (the stored status holds 255 UTF-16 units anyway).
constexpr std::size_t kMaxHandedStatusBytes = 1024;

struct HandedSecrets {
  std::string password;  // empty: none could be read; the agent refuses every client
  SecretArray<kHandOverIdentityBytes> identity;
  ~HandedSecrets() { secure_zero(password.data(), password.size()); }
};

// The secrets message; empty when the password is too long to hand over. The caller wipes it.
SecretBytes encode_secrets(const std::string& password,
                           const std::uint8_t (&identity)[kHandOverIdentityBytes]);
// False when `message` is not a whole secrets message.
bool decode_secrets(std::span<const std::uint8_t> message, HandedSecrets& out);

std::vector<std::uint8_t> encode_status(const std::string& text);
// The status line the message carries, made safe to store and show: at most
// kMaxHandedStatusBytes, control characters (line breaks included) as blanks, a character cut
// in the middle dropped. Nothing when `message` is not a status message.
std::optional<std::string> decode_status(std::span<const std::uint8_t> message);

}  // namespace tolvi
