#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "platform/capture.h"
#include "protocol/host_messages.h"

namespace tolvi {

constexpr std::uint32_t kMaxCursorSide = 256;
// Pixels that invert the screen are drawn black with a half-transparent white halo, so they
// stay visible on any background.
constexpr std::uint8_t kCursorHaloAlpha = 200;

// The CursorShape payload for a pointer shape: width, height, hot spot x, y (16-bit each,
// little-endian; the hot spot clamped to the image), then R, G, B, A per pixel with straight
// alpha, rows top to bottom. False, and `payload` untouched, when the image would be outside
// 1..256 on either side or the shape buffer is too short for the rows it claims.
bool build_cursor_shape(const platform::PointerShapeInfo& info, std::span<const std::uint8_t> shape,
                        std::vector<std::uint8_t>& payload);

// The payload that says the pointer is hidden: eight zero bytes.
inline std::vector<std::uint8_t> hidden_cursor_payload() { return write_hidden_cursor(); }

}  // namespace tolvi
