#pragma once
#include <cstdint>
#include <string_view>

namespace tolvi::platform {

// The Linux input (evdev) key code of a PC/AT set-1 scan code, extended (E0 xx) or not, as the
// kernel's AT keyboard driver translates it; 0 when the code has no key here. On an X server
// with the evdev keyboard rules (Xorg, Xvfb) the X keycode is this code + kEvdevToXKeycode.
std::uint16_t evdev_key_for_scan_code(std::uint8_t scan_code, bool extended);

inline constexpr int kEvdevToXKeycode = 8;

// Whether an X server whose XKB keycode set has this name ("evdev+aliases(qwerty)") numbers its
// keys as evdev code + kEvdevToXKeycode; false for the older sets ("xfree86", "base") and for an
// unknown name ("").
bool evdev_keycodes(std::string_view keycodes_name);

}  // namespace tolvi::platform
