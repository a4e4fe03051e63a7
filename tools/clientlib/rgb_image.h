#pragma once
#include <cstdint>
#include <vector>

namespace tolvi::client {

// A picture as 8-bit R, G, B triples, rows top to bottom without padding.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  const std::uint8_t* pixel(int x, int y) const {
    return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
  }
};

}  // namespace tolvi::client
