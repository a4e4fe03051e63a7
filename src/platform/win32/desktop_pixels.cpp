#include "platform/win32/desktop_pixels.h"

#include <cstring>

namespace tolvi::platform::win32 {

void copy_desktop_pixels(const std::uint8_t* surface, std::size_t pitch, std::int32_t surface_width,
                         std::int32_t surface_height, DXGI_MODE_ROTATION rotation,
                         DesktopImage& image) {
  const bool quarter_turn =
      rotation == DXGI_MODE_ROTATION_ROTATE90 || rotation == DXGI_MODE_ROTATION_ROTATE270;
  const std::int32_t width = quarter_turn ? surface_height : surface_width;
  const std::int32_t height = quarter_turn ? surface_width : surface_height;
  if (image.width != width || image.height != height) image.resize(width, height);
  const auto pixel = [&](std::int32_t u, std::int32_t v) {
    return surface + static_cast<std::size_t>(v) * pitch + static_cast<std::size_t>(u) * 4;
  };
  for (std::int32_t y = 0; y < height; ++y) {
    std::uint8_t* out = image.row(y);
    switch (rotation) {
      case DXGI_MODE_ROTATION_ROTATE90:
        // The desktop's top row is the surface's first column, read from the bottom up.
        for (std::int32_t x = 0; x < width; ++x) {
          std::memcpy(out + 4 * x, pixel(y, surface_height - 1 - x), 4);
        }
        break;
      case DXGI_MODE_ROTATION_ROTATE180:
        for (std::int32_t x = 0; x < width; ++x) {
          std::memcpy(out + 4 * x, pixel(surface_width - 1 - x, surface_height - 1 - y), 4);
        }
        break;
      case DXGI_MODE_ROTATION_ROTATE270:
        // The desktop's top row is the surface's last column, read from the top down.
        for (std::int32_t x = 0; x < width; ++x) {
          std::memcpy(out + 4 * x, pixel(surface_width - 1 - y, x), 4);
        }
        break;
      default:
        std::memcpy(out, pixel(0, y), static_cast<std::size_t>(width) * 4);
        break;
    }
  }
}

}  // namespace tolvi::platform::win32
