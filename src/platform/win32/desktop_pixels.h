#pragma once
// Reading a duplicated desktop surface into a memory image.
#include <dxgi.h>

#include <cstddef>
#include <cstdint>

#include "platform/capture.h"

namespace tolvi::platform::win32 {

// Copies a mapped 32-bit surface of surface_width x surface_height pixels (rows `pitch` bytes
// apart) into `image`, turned upright: a duplicated output whose monitor is rotated delivers its
// surface in the monitor's own orientation, so for 90 and 270 degrees the image is
// surface_height wide and surface_width high, matching the output's desktop rectangle.
void copy_desktop_pixels(const std::uint8_t* surface, std::size_t pitch, std::int32_t surface_width,
                         std::int32_t surface_height, DXGI_MODE_ROTATION rotation,
                         DesktopImage& image);

}  // namespace tolvi::platform::win32
