#include "platform/linux/held_input.h"

#include <charconv>

namespace tolvi::platform {
namespace {

// X key codes are 8..255 and core pointer buttons 1..255.
constexpr unsigned kLargestCode = 255;

std::string line(char kind, unsigned code, bool down) {
  return std::string(1, kind) + ' ' + std::to_string(code) + (down ? " 1\n" : " 0\n");
}

}  // namespace

std::string HeldInput::key_line(unsigned keycode, bool down) { return line('k', keycode, down); }

std::string HeldInput::button_line(unsigned button, bool down) { return line('b', button, down); }

void HeldInput::apply(std::string_view text) {
  if (text.size() < 5 || text[1] != ' ' || (text[0] != 'k' && text[0] != 'b')) return;
  const std::size_t state_at = text.rfind(' ');
  if (state_at <= 2 || state_at + 2 != text.size()) return;
  const char state = text[state_at + 1];
  if (state != '0' && state != '1') return;
  unsigned code = 0;
  const char* first = text.data() + 2;
  const char* last = text.data() + state_at;
  const auto [end, error] = std::from_chars(first, last, code);
  if (error != std::errc() || end != last || code == 0 || code > kLargestCode) return;
  std::set<unsigned>& held = text[0] == 'k' ? keys : buttons;
  if (state == '1') {
    held.insert(code);
  } else {
    held.erase(code);
  }
}

}  // namespace tolvi::platform
