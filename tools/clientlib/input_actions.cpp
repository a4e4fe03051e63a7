#include "input_actions.h"

#include <cstdlib>
#include <cstring>

#include "input_messages.h"
#include "protocol/message_types.h"

namespace tolvi::client {
namespace {

constexpr std::uint16_t kUsageA = 4;
constexpr std::uint16_t kUsage1 = 30;
constexpr std::uint16_t kUsage0 = 39;
constexpr std::uint16_t kUsageEnter = 40;
constexpr std::uint16_t kUsageTab = 43;
constexpr std::uint16_t kUsageLeftShift = 225;
constexpr long long kLastButton = 255;

// Punctuation of the US layout: the unshifted and shifted character of each key.
struct PunctuationKey {
  char plain;
  char shifted;
  std::uint16_t usage;
};
constexpr PunctuationKey kPunctuation[] = {
    {' ', ' ', 44}, {'-', '_', 45},  {'=', '+', 46}, {'[', '{', 47},
    {']', '}', 48}, {'\\', '|', 49}, {';', ':', 51}, {'\'', '"', 52},
    {'`', '~', 53}, {',', '<', 54},  {'.', '>', 55}, {'/', '?', 56},
};
// Shifted digits 1..9, 0.
constexpr char kShiftedDigits[] = "!@#$%^&*()";

bool parse_float(const char* text, float& out) {
  char* end = nullptr;
  out = std::strtof(text, &end);
  return end != text && *end == '\0';
}

bool parse_integer(const char* text, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 0);
  return end != text && *end == '\0';
}

bool parse_direction(const char* text, bool& down) {
  if (std::strcmp(text, "down") == 0) {
    down = true;
  } else if (std::strcmp(text, "up") == 0) {
    down = false;
  } else {
    return false;
  }
  return true;
}

OutgoingMessage key_message(std::uint16_t usage, bool down) {
  return {code(MessageType::Key), key_payload(usage, down)};
}

}  // namespace

bool usage_for_char(char c, std::uint16_t& usage, bool& shift) {
  shift = false;
  if (c >= 'a' && c <= 'z') {
    usage = static_cast<std::uint16_t>(kUsageA + (c - 'a'));
    return true;
  }
  if (c >= 'A' && c <= 'Z') {
    usage = static_cast<std::uint16_t>(kUsageA + (c - 'A'));
    shift = true;
    return true;
  }
  if (c >= '1' && c <= '9') {
    usage = static_cast<std::uint16_t>(kUsage1 + (c - '1'));
    return true;
  }
  if (c == '0') {
    usage = kUsage0;
    return true;
  }
  if (c == '\n') {
    usage = kUsageEnter;
    return true;
  }
  if (c == '\t') {
    usage = kUsageTab;
    return true;
  }
  if (const char* at = c ? std::strchr(kShiftedDigits, c) : nullptr) {
    usage = static_cast<std::uint16_t>(kUsage1 + (at - kShiftedDigits));
    shift = true;
    return true;
  }
  for (const PunctuationKey& key : kPunctuation) {
    if (c == key.plain || c == key.shifted) {
      usage = key.usage;
      shift = c != key.plain;
      return true;
    }
  }
  return false;
}

bool type_text(const std::string& text, std::vector<OutgoingMessage>& out) {
  for (const char c : text) {
    std::uint16_t usage = 0;
    bool shift = false;
    if (!usage_for_char(c, usage, shift)) return false;
    if (shift) out.push_back(key_message(kUsageLeftShift, true));
    out.push_back(key_message(usage, true));
    out.push_back(key_message(usage, false));
    if (shift) out.push_back(key_message(kUsageLeftShift, false));
  }
  return true;
}

OptionParse parse_input_option(int argc, char** argv, int& i, std::vector<OutgoingMessage>& out,
                               std::string& error) {
  const std::string arg = argv[i];
  const int left = argc - i - 1;
  const auto invalid = [&](const char* needs) {
    error = arg + " needs " + needs;
    return OptionParse::Invalid;
  };
  if (arg == "--move") {
    float x = 0, y = 0;
    if (left < 2 || !parse_float(argv[i + 1], x) || !parse_float(argv[i + 2], y)) {
      return invalid("X Y (numbers, 0..1 over the picture)");
    }
    out.push_back({code(MessageType::MouseMove), mouse_move_payload(x, y)});
    i += 2;
    return OptionParse::Parsed;
  }
  if (arg == "--button") {
    long long button = 0;
    bool down = false;
    if (left < 2 || !parse_integer(argv[i + 1], button) || button < 0 || button > kLastButton ||
        !parse_direction(argv[i + 2], down)) {
      return invalid("B down|up (B from 0 to 255)");
    }
    out.push_back({code(MessageType::MouseButton),
                   mouse_button_payload(static_cast<std::uint8_t>(button), down)});
    i += 2;
    return OptionParse::Parsed;
  }
  if (arg == "--wheel") {
    float h = 0, v = 0;
    if (left < 2 || !parse_float(argv[i + 1], h) || !parse_float(argv[i + 2], v)) {
      return invalid("H V (numbers)");
    }
    i += 2;
    const bool fine = i + 1 < argc && std::strcmp(argv[i + 1], "--fine") == 0;
    if (fine) ++i;
    out.push_back({code(MessageType::MouseWheel), mouse_wheel_payload(h, v, fine)});
    return OptionParse::Parsed;
  }
  if (arg == "--key") {
    long long usage = 0;
    bool down = false;
    if (left < 2 || !parse_integer(argv[i + 1], usage) || usage < 0 || usage > UINT16_MAX ||
        !parse_direction(argv[i + 2], down)) {
      return invalid("USAGE down|up (USAGE from 0 to 65535)");
    }
    out.push_back(key_message(static_cast<std::uint16_t>(usage), down));
    i += 2;
    return OptionParse::Parsed;
  }
  if (arg == "--type") {
    if (left < 1) return invalid("TEXT");
    if (!type_text(argv[i + 1], out)) {
      error = "--type: the US layout has no key for a character of the text";
      return OptionParse::Invalid;
    }
    ++i;
    return OptionParse::Parsed;
  }
  if (arg == "--release-keys") {
    out.push_back({code(MessageType::ReleaseKeys), {}});
    return OptionParse::Parsed;
  }
  return OptionParse::NotMine;
}

}  // namespace tolvi::client
