#pragma once
#include <X11/Xlib.h>

#include <cstdint>
#include <span>
#include <vector>

#include "platform/capture.h"

namespace tolvi::platform {

// The pointer as XFixes reports it, kept as a colour shape for get_pointer_shape.
class X11Pointer {
 public:
  // Reads the current pointer image and position (relative to `rect`) into `info`; nothing
  // changes when the server has no image to give.
  void read(Display* display, const DesktopRect& rect, FrameInfo& info);
  // The last image read; false when there is none or `buffer` is too small.
  bool copy_shape(std::span<std::uint8_t> buffer, PointerShapeInfo& info) const;

 private:
  std::vector<std::uint8_t> pixels_;
  PointerShapeInfo info_;
};

}  // namespace tolvi::platform
