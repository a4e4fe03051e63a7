#pragma once
#include <cstdint>

namespace tolvi::testing {

// The known picture of the video end-to-end tests: the screen split into 4 x 2 blocks of
// saturated colours (and black and white), chosen so a wrong colour matrix, swapped chroma
// planes or a shifted picture all show.
struct BlockColour {
  std::uint8_t r, g, b;
};
constexpr int kBlockColumns = 4;
constexpr int kBlockRows = 2;
constexpr BlockColour kBlockColours[kBlockRows][kBlockColumns] = {
    {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}},
    {{0, 0, 0}, {255, 255, 0}, {0, 255, 255}, {255, 0, 255}},
};

}  // namespace tolvi::testing
