#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/capture.h"

namespace tolvi::platform {

// An NV12 picture: a full-size 8-bit Y plane followed by a half-height plane of interleaved
// U, V pairs, both `width` bytes per row. Width and height are even.
struct Nv12Image {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> data;
  // Where this picture may differ from the one handed to the encoder before it, in its own
  // pixels; unset: anywhere. An encoder may skip work on the rest, which is the same.
  std::optional<DesktopRect> changed;
  // Set when the converter left the picture on the graphics adapter (its source was there):
  // then `data` is not filled, and only that platform's encoder reads the picture (reading it
  // back into memory itself where it cannot take it from the adapter).
  std::shared_ptr<const GpuPicture> on_adapter;

  void resize(std::int32_t new_width, std::int32_t new_height) {
    width = new_width;
    height = new_height;
    data.resize(static_cast<std::size_t>(new_width) * static_cast<std::size_t>(new_height) * 3 / 2);
  }
  std::uint8_t* y_plane() { return data.data(); }
  const std::uint8_t* y_plane() const { return data.data(); }
  std::uint8_t* uv_plane() { return data.data() + y_size(); }
  const std::uint8_t* uv_plane() const { return data.data() + y_size(); }
  std::size_t y_size() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  }
};

// Colour conversion and scaling of the desktop picture for the encoder, in one pass:
// source BGRx, RGB full range (0..255); target NV12 with the BT.709 matrix, studio range
// (16..235), at the stream size. The whole source is scaled onto the whole target (no cropping).
// A source on the graphics adapter (DesktopImage::on_adapter) gives a target there too; a
// source in memory gives one in memory.
class VideoConverter {
 public:
  virtual ~VideoConverter() = default;

  // (Re)builds the conversion from source_width x source_height to target_width x
  // target_height (even). fps is a hint for the platform. False when it cannot be built.
  virtual bool init(std::int32_t source_width, std::int32_t source_height,
                    std::int32_t target_width, std::int32_t target_height, std::int32_t fps) = 0;

  // Converts source (of the init size) into target, which is resized to the target size.
  // False when the conversion failed or the sizes do not match the set-up.
  virtual bool convert(const DesktopImage& source, Nv12Image& target) = 0;

  // Like convert(), for a source that differs from the one target was last converted from only
  // inside `area` (source pixels): only the target pixels that area reaches are written, the
  // rest of target is kept. The result is byte for byte what convert() gives. The default
  // converts everything.
  virtual bool convert_area(const DesktopImage& source, Nv12Image& target,
                            const DesktopRect& area) {
    (void)area;
    return convert(source, target);
  }
};

// Null when the platform has no converter.
std::unique_ptr<VideoConverter> make_video_converter();

}  // namespace tolvi::platform
