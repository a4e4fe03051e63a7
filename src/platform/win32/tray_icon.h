#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

namespace tolvi::platform {

// A 32-bit icon with alpha from size x size 0xAARRGGBB pixels (rows top-down); nothing when
// GDI refused. The caller destroys it with DestroyIcon.
HICON make_tray_icon(const std::vector<std::uint32_t>& pixels, int size);

}  // namespace tolvi::platform
