#pragma once
#include <cstdint>

namespace tolvi::testing {

// The colour (0xRRGGBB) of the animating painter's cell at column i, row j in a frame: a hash
// of the three, so every cell changes every frame and nothing repeats in a pattern an encoder
// could predict. x11_painter draws it; benchmarks that encode the same pictures in-process
// compute it again.
constexpr std::uint32_t painter_cell_colour(std::uint32_t i, std::uint32_t j, std::uint32_t frame) {
  std::uint32_t x = i * 73856093U ^ j * 19349663U ^ frame * 83492791U;
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x & 0xffffff;
}

}  // namespace tolvi::testing
