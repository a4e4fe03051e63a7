#pragma once
#include <memory>

#include "platform/encoder.h"

namespace tolvi::platform {

// H.264 straight through libx264, without libavcodec between: the same stream as libavcodec's
// libx264 encoder gives with the same settings, and the picture's unchanged macroblocks are
// passed on to x264, which then skips analysing them.
std::unique_ptr<EncoderTransform> make_x264_transform();

}  // namespace tolvi::platform
