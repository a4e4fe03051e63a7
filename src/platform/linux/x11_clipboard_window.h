#pragma once
#include <X11/Xlib.h>

namespace tolvi::platform {

// The small unmapped window through which the clipboard is owned and read, and the atoms both
// sides name, interned once for the connection.
struct ClipboardWindow {
  Window window = None;
  Atom clipboard = None;
  Atom targets = None;
  Atom utf8 = None;
  Atom text = None;
  Atom compound_text = None;
  Atom incr = None;
};

}  // namespace tolvi::platform
