#pragma once
#include <set>
#include <string>
#include <string_view>

namespace tolvi::platform {

// What a host holds down on its X display, as it tells its guardian: one line per change,
// "k <keycode> 1|0" for an X key pressed or released, "b <button> 1|0" for a pointer button. The
// guardian keeps the set and, when the host is gone, releases what is still in it.
struct HeldInput {
  std::set<unsigned> keys;
  std::set<unsigned> buttons;

  static std::string key_line(unsigned keycode, bool down);
  static std::string button_line(unsigned button, bool down);
  // Applies one line (without its line end); anything malformed is ignored.
  void apply(std::string_view line);
  bool empty() const { return keys.empty() && buttons.empty(); }
};

}  // namespace tolvi::platform
