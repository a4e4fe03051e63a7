// BGRx to NV12 with libswscale, BT.709 studio range, scaled in the same pass.
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>

#include "platform/converter.h"

namespace tolvi::platform {

namespace {

// Rows of the bands a 1:1 conversion of changed rows works in. Each band is converted as a
// picture of its own: at 1:1 every target row comes from its own source row and the chroma of
// a row pair from that pair, so a band starting on an even row gives the same bytes as the
// whole conversion.
constexpr std::int32_t kBandRows = 16;

SwsContext* make_context(std::int32_t source_width, std::int32_t source_height,
                         std::int32_t target_width, std::int32_t target_height) {
  // FULL_CHR_H_INP reads the BGRx chroma at full width: about twice as fast on this input.
  // POINT at 1:1 is exact and fastest; FAST_BILINEAR is fine when shrinking but blurs the
  // right edge at 1:1.
  const bool same_size = source_width == target_width && source_height == target_height;
  const int flags = (same_size ? SWS_POINT : SWS_FAST_BILINEAR) | SWS_FULL_CHR_H_INP;
  // The X server leaves the fourth byte 0: BGR0, not BGRA.
  SwsContext* context =
      sws_getContext(source_width, source_height, AV_PIX_FMT_BGR0, target_width, target_height,
                     AV_PIX_FMT_NV12, flags, nullptr, nullptr, nullptr);
  if (!context) return nullptr;
  // RGB in at full range, BT.709 matrix, studio range out; brightness 0, contrast and
  // saturation 1.0 (16.16 fixed point).
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  if (sws_setColorspaceDetails(context, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0) {
    sws_freeContext(context);
    return nullptr;
  }
  return context;
}

class SwscaleConverter : public VideoConverter {
 public:
  ~SwscaleConverter() override { free_contexts(); }

  bool init(std::int32_t source_width, std::int32_t source_height, std::int32_t target_width,
            std::int32_t target_height, std::int32_t /*fps*/) override {
    free_contexts();
    if (source_width <= 0 || source_height <= 0 || target_width <= 0 || target_height <= 0 ||
        target_width % 2 || target_height % 2) {
      return false;
    }
    context_ = make_context(source_width, source_height, target_width, target_height);
    if (!context_) return false;
    if (source_width == target_width && source_height == target_height) {
      // Bands for converting changed rows: whole ones and the shorter one at the bottom.
      const std::int32_t tail = target_height % kBandRows;
      band_context_ = make_context(target_width, kBandRows, target_width, kBandRows);
      if (tail) tail_context_ = make_context(target_width, tail, target_width, tail);
      if (!band_context_ || (tail && !tail_context_)) {
        free_contexts();
        return false;
      }
    }
    source_width_ = source_width;
    source_height_ = source_height;
    target_width_ = target_width;
    target_height_ = target_height;
    return true;
  }

  bool convert(const DesktopImage& source, Nv12Image& target) override {
    if (!accepts(source)) return false;
    if (target.width != target_width_ || target.height != target_height_) {
      target.resize(target_width_, target_height_);
    }
    const std::uint8_t* source_planes[4] = {source.data(), nullptr, nullptr, nullptr};
    const int source_strides[4] = {static_cast<int>(source.stride), 0, 0, 0};
    std::uint8_t* target_planes[4] = {target.y_plane(), target.uv_plane(), nullptr, nullptr};
    const int target_strides[4] = {target.width, target.width, 0, 0};
    return sws_scale(context_, source_planes, source_strides, 0, source.height, target_planes,
                     target_strides) == target.height;
  }

  // At 1:1 only the bands holding changed rows are converted; a scaled picture is converted
  // whole (its filters reach across rows, and a scaled stream is the rarer case).
  bool convert_rows(const DesktopImage& source, Nv12Image& target, std::int32_t top,
                    std::int32_t bottom) override {
    if (!accepts(source)) return false;
    // A target of another size holds nothing to keep.
    if (!band_context_ || target.width != target_width_ || target.height != target_height_) {
      return convert(source, target);
    }
    top = std::clamp(top, 0, source_height_);
    bottom = std::clamp(bottom, top, source_height_);
    if (top == bottom) return true;
    const std::int32_t first = top - top % kBandRows;
    for (std::int32_t y = first; y < bottom; y += kBandRows) {
      const std::int32_t rows = std::min(kBandRows, target_height_ - y);
      SwsContext* band = rows == kBandRows ? band_context_ : tail_context_;
      const std::uint8_t* source_planes[4] = {source.row(y), nullptr, nullptr, nullptr};
      const int source_strides[4] = {static_cast<int>(source.stride), 0, 0, 0};
      const std::size_t width = static_cast<std::size_t>(target.width);
      std::uint8_t* target_planes[4] = {target.y_plane() + width * static_cast<std::size_t>(y),
                                        target.uv_plane() + width * static_cast<std::size_t>(y / 2),
                                        nullptr, nullptr};
      const int target_strides[4] = {target.width, target.width, 0, 0};
      if (sws_scale(band, source_planes, source_strides, 0, rows, target_planes, target_strides) !=
          rows) {
        return false;
      }
    }
    return true;
  }

 private:
  bool accepts(const DesktopImage& source) const {
    return context_ && source.width == source_width_ && source.height == source_height_ &&
           source.stride >= static_cast<std::size_t>(source.width) * 4;
  }

  void free_contexts() {
    sws_freeContext(context_);
    sws_freeContext(band_context_);
    sws_freeContext(tail_context_);
    context_ = band_context_ = tail_context_ = nullptr;
  }

  SwsContext* context_ = nullptr;
  SwsContext* band_context_ = nullptr;  // 1:1 only
  SwsContext* tail_context_ = nullptr;  // 1:1 with a height that is no multiple of the band
  std::int32_t source_width_ = 0;
  std::int32_t source_height_ = 0;
  std::int32_t target_width_ = 0;
  std::int32_t target_height_ = 0;
};

}  // namespace

std::unique_ptr<VideoConverter> make_video_converter() {
  return std::make_unique<SwscaleConverter>();
}

}  // namespace tolvi::platform
