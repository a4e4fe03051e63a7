#pragma once
#include <cstdint>
#include <functional>

namespace tolvi {

// Where an encoder's access units go: (encoded bytes, their count, key-frame flag, frame time
// in microseconds). The session's sink sends each as a VideoFrame; it never drops or delays.
using FrameSink = std::function<void(const std::uint8_t* data, std::uint64_t size, bool keyframe,
                                     std::uint64_t time_us)>;

}  // namespace tolvi
