#pragma once
#include <X11/Xlib.h>

#include <string>

#include "platform/capture.h"

namespace tolvi::platform {

// The part of the X screen a capture shows, and the name of its output.
struct OutputChoice {
  DesktopRect rect;
  std::string name;
};

// The primary output's rectangle, or the whole screen when RandR names no primary output
// with a CRTC (Xvfb, a single unnamed screen, no RandR at all).
OutputChoice primary_output(Display* display, Window root, bool have_randr);

}  // namespace tolvi::platform
