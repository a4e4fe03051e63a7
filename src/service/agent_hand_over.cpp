#include "service/agent_hand_over.h"

#include <algorithm>
#include <cstring>

namespace tolvi {
namespace {

constexpr std::uint8_t kSecretsTag = 'S';
constexpr std::uint8_t kStatusTag = 'T';
constexpr std::size_t kLengthBytes = 2;

// The length of the UTF-8 sequence `lead` starts, 0 for a byte no sequence starts with.
std::size_t sequence_length(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

SecretBytes encode_secrets(const std::string& password,
                           const std::uint8_t (&identity)[kHandOverIdentityBytes]) {
  SecretBytes message;
  if (password.size() > kMaxHandedPasswordBytes) return message;
  message.bytes.reserve(1 + kLengthBytes + password.size() + kHandOverIdentityBytes);
  message.bytes.push_back(kSecretsTag);
  message.bytes.push_back(static_cast<std::uint8_t>(password.size() & 0xFF));
  message.bytes.push_back(static_cast<std::uint8_t>(password.size() >> 8));
  message.bytes.insert(message.bytes.end(), password.begin(), password.end());
  message.bytes.insert(message.bytes.end(), identity, identity + kHandOverIdentityBytes);
  return message;
}

bool decode_secrets(std::span<const std::uint8_t> message, HandedSecrets& out) {
  if (message.size() < 1 + kLengthBytes + kHandOverIdentityBytes || message[0] != kSecretsTag) {
    return false;
  }
  const std::size_t length = message[1] | (std::size_t{message[2]} << 8);
  if (length > kMaxHandedPasswordBytes ||
      message.size() != 1 + kLengthBytes + length + kHandOverIdentityBytes) {
    return false;
  }
  const std::uint8_t* password = message.data() + 1 + kLengthBytes;
  secure_zero(out.password.data(), out.password.size());
  out.password.assign(reinterpret_cast<const char*>(password), length);
  std::memcpy(out.identity.bytes, password + length, kHandOverIdentityBytes);
  return true;
}

std::vector<std::uint8_t> encode_status(const std::string& text) {
  std::vector<std::uint8_t> message{kStatusTag};
  const std::size_t size = std::min(text.size(), kMaxHandedStatusBytes);
  message.insert(message.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
  return message;
}

std::optional<std::string> decode_status(std::span<const std::uint8_t> message) {
  if (message.empty() || message[0] != kStatusTag) return std::nullopt;
  const std::span<const std::uint8_t> text =
      message.subspan(1, std::min(message.size() - 1, kMaxHandedStatusBytes));
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = sequence_length(text[i]);
    bool whole = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) whole = (text[i + k] & 0xC0) == 0x80;
    if (!whole) {
      ++i;  // a byte no character starts with, or a character cut short: dropped
      continue;
    }
    if (length == 1 && (text[i] < 0x20 || text[i] == 0x7F)) {
      out.push_back(' ');
    } else {
      out.append(reinterpret_cast<const char*>(text.data() + i), length);
    }
    i += length;
  }
  return out;
}

}  // namespace tolvi
