#include "video/cursor_image.h"

#include <algorithm>

#include "protocol/host_messages.h"

namespace tolvi {
namespace {

using platform::PointerShapeType;

void set_pixel(std::uint8_t* p, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
  p[0] = r;
  p[1] = g;
  p[2] = b;
  p[3] = a;
}

}  // namespace

bool build_cursor_shape(const platform::PointerShapeInfo& info, std::span<const std::uint8_t> shape,
                        std::vector<std::uint8_t>& payload) {
  const bool monochrome = info.type == PointerShapeType::kMonochrome;
  // A monochrome shape holds an AND mask of h rows followed by an XOR mask of h rows.
  const std::int64_t w = info.width;
  const std::int64_t h = monochrome ? static_cast<std::int64_t>(info.height) / 2 : info.height;
  if (w < 1 || h < 1 || w > kMaxCursorSide || h > kMaxCursorSide) return false;

  // Every byte read must lie inside the buffer the platform filled.
  const std::uint64_t rows = monochrome ? 2 * h : h;
  const std::uint64_t row_bytes = monochrome ? (w + 7) / 8 : 4 * w;
  if ((rows - 1) * info.pitch + row_bytes > shape.size()) return false;

  const std::size_t pixels = static_cast<std::size_t>(w * h);
  std::vector<std::uint8_t> rgba(pixels * 4, 0);
  std::vector<bool> inverted(pixels, false);
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) {
      const std::size_t i = static_cast<std::size_t>(y * w + x);
      std::uint8_t* out = &rgba[i * 4];
      if (monochrome) {
        const std::uint8_t bit = static_cast<std::uint8_t>(0x80 >> (x % 8));
        const bool a = shape[y * info.pitch + x / 8] & bit;
        const bool b = shape[(y + h) * info.pitch + x / 8] & bit;
        if (!a && !b) set_pixel(out, 0, 0, 0, 255);
        if (!a && b) set_pixel(out, 255, 255, 255, 255);
        if (a && b) inverted[i] = true;
        continue;
      }
      const std::uint8_t* in = &shape[y * info.pitch + 4 * x];
      if (info.type == PointerShapeType::kColor) {
        set_pixel(out, in[2], in[1], in[0], in[3]);
      } else if (in[3] == 0) {
        set_pixel(out, in[2], in[1], in[0], 255);
      } else if (in[0] != 0 || in[1] != 0 || in[2] != 0) {
        inverted[i] = true;
      }
    }
  }

  // Inverting pixels become black; their transparent, non-inverting neighbours a white halo.
  // Only inverted flags decide, so the order of visiting does not matter.
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) {
      if (!inverted[static_cast<std::size_t>(y * w + x)]) continue;
      set_pixel(&rgba[static_cast<std::size_t>(y * w + x) * 4], 0, 0, 0, 255);
      for (std::int64_t ny = y - 1; ny <= y + 1; ++ny) {
        for (std::int64_t nx = x - 1; nx <= x + 1; ++nx) {
          if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
          const std::size_t n = static_cast<std::size_t>(ny * w + nx);
          if (inverted[n] || rgba[n * 4 + 3] != 0) continue;
          set_pixel(&rgba[n * 4], 255, 255, 255, kCursorHaloAlpha);
        }
      }
    }
  }

  payload.assign(kCursorHeaderBytes, 0);
  write_cursor_header(static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h),
                      static_cast<std::uint16_t>(std::min<std::int64_t>(info.hot_x, w - 1)),
                      static_cast<std::uint16_t>(std::min<std::int64_t>(info.hot_y, h - 1)),
                      payload.data());
  payload.insert(payload.end(), rgba.begin(), rgba.end());
  return true;
}

}  // namespace tolvi
