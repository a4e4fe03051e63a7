#pragma once
#include <cstddef>
#include <cstdint>

namespace tolvi::platform {

// BGRx (full-range RGB) to NV12 with the BT.709 matrix in studio range, pixel for pixel: each
// Y from its own pixel, each U, V pair from the mean of the 2x2 block it covers. Converts the
// columns [left, right) of the rows [top, bottom), all four even; the planes are the whole
// picture's, `target_stride` bytes a row in both. Results are the exact formula's, rounded,
// give or take one level where the fixed-point coefficients round a tie the other way.
void bgrx_to_nv12(const std::uint8_t* source, std::size_t source_stride, std::uint8_t* y_plane,
                  std::uint8_t* uv_plane, std::size_t target_stride, std::int32_t left,
                  std::int32_t top, std::int32_t right, std::int32_t bottom);

}  // namespace tolvi::platform
