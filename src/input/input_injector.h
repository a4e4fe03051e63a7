#pragma once
#include <cstdint>

namespace tolvi {

// Applies the client's pointer and keyboard input and remembers what it holds down. Used by
// the receive thread, then (release_all at the end) by the client thread.
class InputInjector {
 public:
  virtual ~InputInjector() = default;
  // Coordinates normalised to the client's view (0..1).
  virtual void mouse_move(float x, float y) = 0;
  virtual void mouse_button(std::uint8_t button, bool pressed) = 0;
  virtual void mouse_wheel(float dx, float dy, bool flag) = 0;
  // A USB HID usage code.
  virtual void key_event(std::uint16_t usage, bool pressed) = 0;
  // Releases every key and button the client still holds.
  virtual void release_all() = 0;
};

}  // namespace tolvi
