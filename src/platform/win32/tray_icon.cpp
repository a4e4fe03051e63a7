// The tray icon from our picture: a 32-bit top-down DIB section with alpha and a monochrome
// mask, joined by CreateIconIndirect.
#include "platform/win32/tray_icon.h"

#include <cstring>

namespace tolvi::platform {

HICON make_tray_icon(const std::vector<std::uint32_t>& pixels, int size) {
  BITMAPV5HEADER header = {};
  header.bV5Size = sizeof header;
  header.bV5Width = size;
  header.bV5Height = -size;
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_BITFIELDS;
  header.bV5RedMask = 0x00FF0000;
  header.bV5GreenMask = 0x0000FF00;
  header.bV5BlueMask = 0x000000FF;
  header.bV5AlphaMask = 0xFF000000;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (!colour) return nullptr;
  std::memcpy(bits, pixels.data(), pixels.size() * sizeof(std::uint32_t));
  HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
  ICONINFO info = {};
  info.fIcon = TRUE;
  info.hbmMask = mask;
  info.hbmColor = colour;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(mask);
  DeleteObject(colour);
  return icon;
}

}  // namespace tolvi::platform
