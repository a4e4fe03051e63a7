#pragma once
#include <cstdint>
#include <memory>

#include "platform/encoder.h"

namespace tolvi::platform {

// H.264 straight through libx264, without libavcodec between: the same stream as libavcodec's
// libx264 encoder gives with the same settings, and the picture's unchanged macroblocks are
// passed on to x264, which then skips analysing them.
std::unique_ptr<EncoderTransform> make_x264_transform();

// libx264 presets by the caller's quality-versus-speed value (0 fastest .. 100 best), for both
// ways of reaching libx264. The live-streaming value is 33: ultrafast, the one preset that
// keeps 1080p60 inside a frame time with capture and conversion beside it on a busy two-core
// machine (about 4-5 ms a frame on two threads, 6-7 ms on one, against 6-7 and 10 ms for
// superfast, at about the same bytes per frame at a capped rate).
const char* x264_preset(std::uint32_t quality_vs_speed);

}  // namespace tolvi::platform
