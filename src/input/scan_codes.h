#pragma once
#include <cstdint>

namespace tolvi {

// A scan code of this value or more carries the E0 prefix: an extended key.
inline constexpr std::uint16_t kExtendedScanCode = 0x2000;

// The PC/AT set-1 scan code of a USB HID usage of the Keyboard/Keypad page: the plain code
// (0x01..0x7E) or 0xE0xx for an extended key; 0 for a usage this host does not inject (Pause,
// Power and every usage outside the table).
std::uint16_t scan_code_for_usage(std::uint16_t usage);

}  // namespace tolvi
