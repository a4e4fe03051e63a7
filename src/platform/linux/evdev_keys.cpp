#include "platform/linux/evdev_keys.h"

#include <linux/input-event-codes.h>

namespace tolvi::platform {
namespace {

// Plain codes 01..58 are the evdev codes themselves (KEY_ESC 1 .. KEY_F12 88); above that the
// keyboard's later additions were given codes of their own.
constexpr std::uint8_t kLastIdentityScanCode = 0x58;

}  // namespace

std::uint16_t evdev_key_for_scan_code(std::uint8_t scan_code, bool extended) {
  if (!extended) {
    if (scan_code >= 0x01 && scan_code <= kLastIdentityScanCode) return scan_code;
    switch (scan_code) {
      case 0x59:
        return KEY_KPEQUAL;
      case 0x64:
        return KEY_F13;
      case 0x65:
        return KEY_F14;
      case 0x66:
        return KEY_F15;
      case 0x67:
        return KEY_F16;
      case 0x68:
        return KEY_F17;
      case 0x69:
        return KEY_F18;
      case 0x6A:
        return KEY_F19;
      case 0x6B:
        return KEY_F20;
      case 0x71:
        return KEY_HANJA;
      case 0x72:
        return KEY_HANGEUL;
      case 0x73:
        return KEY_RO;
      case 0x7D:
        return KEY_YEN;
      case 0x7E:
        return KEY_KPCOMMA;
      default:
        return 0;
    }
  }
  switch (scan_code) {
    case 0x1C:
      return KEY_KPENTER;
    case 0x1D:
      return KEY_RIGHTCTRL;
    case 0x20:
      return KEY_MUTE;
    case 0x2E:
      return KEY_VOLUMEDOWN;
    case 0x30:
      return KEY_VOLUMEUP;
    case 0x35:
      return KEY_KPSLASH;
    case 0x37:
      return KEY_SYSRQ;
    case 0x38:
      return KEY_RIGHTALT;
    case 0x47:
      return KEY_HOME;
    case 0x48:
      return KEY_UP;
    case 0x49:
      return KEY_PAGEUP;
    case 0x4B:
      return KEY_LEFT;
    case 0x4D:
      return KEY_RIGHT;
    case 0x4F:
      return KEY_END;
    case 0x50:
      return KEY_DOWN;
    case 0x51:
      return KEY_PAGEDOWN;
    case 0x52:
      return KEY_INSERT;
    case 0x53:
      return KEY_DELETE;
    case 0x5B:
      return KEY_LEFTMETA;
    case 0x5C:
      return KEY_RIGHTMETA;
    case 0x5D:
      return KEY_COMPOSE;
    default:
      return 0;
  }
}

bool evdev_keycodes(std::string_view keycodes_name) {
  // The name is the keycodes component and its includes: the set itself comes first.
  return keycodes_name.substr(0, keycodes_name.find_first_of("+(")) == "evdev";
}

}  // namespace tolvi::platform
