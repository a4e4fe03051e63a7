#include "tray/password_rules.h"

#include <cstdint>

#include "base/secure_zero.h"
#include "tray/tray_status.h"

namespace tolvi {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHJKLMNPQRSTUVWXYZ"
    "abcdefghijkmnpqrstuvwxyz"
    "23456789"
    "!@#$%&*-_=+?";
static_assert(sizeof(kAlphabet) - 1 == kAlphabetSize);

bool has_every_group(const std::string& text) {
  bool upper = false, lower = false, digit = false, symbol = false;
  for (char c : text) {
    upper |= kUpperGroup.find(c) != std::string_view::npos;
    lower |= kLowerGroup.find(c) != std::string_view::npos;
    digit |= kDigitGroup.find(c) != std::string_view::npos;
    symbol |= kSymbolGroup.find(c) != std::string_view::npos;
  }
  return upper && lower && digit && symbol;
}

}  // namespace

std::string field_text(std::string_view typed) { return cut_to_utf16_units(typed, kMaxFieldUnits); }

std::optional<std::string> password_entry_problem(std::string_view first, std::string_view second) {
  if (utf16_length(first) < kMinPasswordCharacters) return std::string(kTooShort);
  if (first != second) return std::string(kNoMatch);
  return std::nullopt;
}

std::string generate_secure_password(const std::function<bool(void*, std::size_t)>& random) {
  std::string candidate;
  candidate.reserve(kGeneratedLength);
  for (;;) {
    while (candidate.size() < kGeneratedLength) {
      std::uint8_t byte = 0;
      if (!random(&byte, 1)) {
        secure_zero(candidate.data(), candidate.size());
        return {};
      }
      if (byte < kAcceptBelow) candidate.push_back(kAlphabet[byte % kAlphabetSize]);
      secure_zero(&byte, 1);
    }
    if (has_every_group(candidate)) return candidate;
    secure_zero(candidate.data(), candidate.size());
    candidate.clear();
  }
}

}  // namespace tolvi
