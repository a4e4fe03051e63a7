#include "platform/linux/x11_pointer.h"

#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <cstring>

namespace tolvi::platform {

// The current pointer image as straight-alpha B, G, R, A. XFixes hands out 32-bit ARGB in
// `unsigned long`s (the upper half of a 64-bit long is garbage) with premultiplied alpha.
void X11Pointer::read(Display* display, const DesktopRect& rect, FrameInfo& info) {
  XFixesCursorImage* cursor = XFixesGetCursorImage(display);
  if (!cursor) return;  // e.g. the client that set the root cursor is gone
  const std::size_t count = static_cast<std::size_t>(cursor->width) * cursor->height;
  pixels_.resize(count * 4);
  bool visible = false;
  for (std::size_t i = 0; i < count; ++i) {
    const auto argb = static_cast<std::uint32_t>(cursor->pixels[i] & 0xffffffffUL);
    const std::uint32_t a = argb >> 24;
    std::uint8_t* out = &pixels_[i * 4];
    if (a == 0) {
      std::memset(out, 0, 4);
      continue;
    }
    visible = true;
    for (int channel = 0; channel < 3; ++channel) {  // B, G, R
      const std::uint32_t c = (argb >> (8 * channel)) & 0xff;
      out[channel] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (c * 255 + a / 2) / a));
    }
    out[3] = static_cast<std::uint8_t>(a);
  }
  info_.type = PointerShapeType::kColor;
  info_.width = cursor->width;
  info_.height = cursor->height;
  info_.pitch = static_cast<std::uint32_t>(cursor->width) * 4;
  info_.hot_x = cursor->xhot;
  info_.hot_y = cursor->yhot;
  info.pointer_updated = true;
  // X has no query for a hidden pointer; a fully transparent image is how programs hide it.
  info.pointer_visible = visible;
  info.pointer_x = cursor->x - rect.left;
  info.pointer_y = cursor->y - rect.top;
  info.pointer_shape_bytes = static_cast<std::uint32_t>(pixels_.size());
  XFree(cursor);
}

bool X11Pointer::copy_shape(std::span<std::uint8_t> buffer, PointerShapeInfo& info) const {
  if (pixels_.empty() || buffer.size() < pixels_.size()) return false;
  std::memcpy(buffer.data(), pixels_.data(), pixels_.size());
  info = info_;
  return true;
}

}  // namespace tolvi::platform
