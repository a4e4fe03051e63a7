#pragma once
#include <cstdint>
#include <vector>

namespace tolvi::client {

// Payloads of the client's input messages, little-endian.
// MouseMove: x, y as 32-bit floats, 0..1 over the streamed picture.
std::vector<std::uint8_t> mouse_move_payload(float x, float y);
// MouseButton: 0 left, 1 right, 2 middle, 3 and 4 the extra buttons.
std::vector<std::uint8_t> mouse_button_payload(std::uint8_t button, bool pressed);
// MouseWheel: horizontal and vertical amounts (3.0 is one notch on the coarse scale), fine
// for precise scrolling devices.
std::vector<std::uint8_t> mouse_wheel_payload(float horizontal, float vertical, bool fine);
// Key: a USB HID usage of the Keyboard/Keypad page.
std::vector<std::uint8_t> key_payload(std::uint16_t usage, bool pressed);

// HID usages the viewer and the command line name.
constexpr std::uint16_t kUsageEnd = 0x4D;
constexpr std::uint16_t kUsageLeftControl = 0xE0;
constexpr std::uint16_t kUsageLeftAlt = 0xE2;
constexpr std::uint16_t kUsageRightGui = 0xE7;

}  // namespace tolvi::client
