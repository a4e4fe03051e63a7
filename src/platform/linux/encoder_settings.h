#pragma once
#include <cstdint>

#include "platform/encoder.h"

namespace tolvi::platform {

// The codec settings the libavcodec and libx264 encoders keep until they open. The mean rate is
// not here: each encoder hands it straight to its open encoder.
struct EncoderSettings {
  bool low_latency = false;
  std::uint32_t max_bit_rate = 0;
  std::uint32_t gop_size = 0;
  std::uint32_t b_frames = 0;
  std::uint32_t quality_vs_speed = 50;

  // Records `value`; false for a rate-control mode other than low-delay VBR (a mean rate with a
  // small VBV at the max rate), the only one asked for.
  bool record(CodecSetting setting, std::uint32_t value) {
    switch (setting) {
      case CodecSetting::kRateControlMode:
        return value == kRateControlLowDelayVbr;
      case CodecSetting::kLowLatencyMode:
        low_latency = value != 0;
        break;
      case CodecSetting::kMeanBitRate:
        break;
      case CodecSetting::kMaxBitRate:
        max_bit_rate = value;
        break;
      case CodecSetting::kGopSize:
        gop_size = value;
        break;
      case CodecSetting::kBPictureCount:
        b_frames = value;
        break;
      case CodecSetting::kQualityVsSpeed:
        quality_vs_speed = value;
        break;
    }
    return true;
  }
};

}  // namespace tolvi::platform
