#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tolvi {

// The password form's texts and rules, shared by every toolkit's form.
constexpr char kPasswordFormTitle[] = "Set Tolvi Host Password";
constexpr char kNewPasswordLabel[] = "New password:";
constexpr char kConfirmLabel[] = "Confirm:";
constexpr char kGenerateButton[] = "Generate Secure Password";
constexpr char kSaveButton[] = "Save";
constexpr char kCancelButton[] = "Cancel";
constexpr char kGeneratedHint[] = "Copy this password into Tolvi on your other devices.";
constexpr char kTooShort[] = "Use at least 6 characters.";
constexpr char kNoMatch[] = "The passwords don't match.";

constexpr std::size_t kMinPasswordCharacters = 6;
// A field gives at most this many UTF-16 units of what was typed.
constexpr std::size_t kMaxFieldUnits = 255;

// The generator's alphabet: letters without I, O, l and o, the digits 2 to 9, 12 symbols.
constexpr std::string_view kUpperGroup = "ABCDEFGHJKLMNPQRSTUVWXYZ";
constexpr std::string_view kLowerGroup = "abcdefghijkmnpqrstuvwxyz";
constexpr std::string_view kDigitGroup = "23456789";
constexpr std::string_view kSymbolGroup = "!@#$%&*-_=+?";
constexpr std::size_t kAlphabetSize = 68;
constexpr std::size_t kGeneratedLength = 20;
// Bytes from here on are dropped, so that every character is equally likely.
constexpr unsigned kAcceptBelow = 256 - 256 % kAlphabetSize;

// The text a field yields for `typed`: its first kMaxFieldUnits UTF-16 units.
std::string field_text(std::string_view typed);

// Why the (first, second) entry cannot be saved, or nothing when it can. The length is checked
// on the first field alone, before the comparison.
std::optional<std::string> password_entry_problem(std::string_view first, std::string_view second);

// 20 characters of the alphabet with at least one of each group, drawn a byte at a time from
// `random` (false: the generator failed). Returns "" only when the generator failed.
std::string generate_secure_password(const std::function<bool(void*, std::size_t)>& random);

}  // namespace tolvi
