#include "surface_presenter.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace tolvi::viewer {
namespace {

constexpr int kBytesPerPixel = 4;

// The FFmpeg format with the byte order of a 32-bit SDL surface; AV_PIX_FMT_NONE when the
// surface has another layout.
AVPixelFormat av_format_of(Uint32 sdl_format) {
  switch (sdl_format) {
    case SDL_PIXELFORMAT_RGB888:  // XRGB, stored B G R X on little-endian machines
      return AV_PIX_FMT_BGR0;
    case SDL_PIXELFORMAT_ARGB8888:
      return AV_PIX_FMT_BGRA;
    case SDL_PIXELFORMAT_BGR888:
      return AV_PIX_FMT_RGB0;
    case SDL_PIXELFORMAT_ABGR8888:
      return AV_PIX_FMT_RGBA;
    default:
      return AV_PIX_FMT_NONE;
  }
}

bool drawable(int format) {
  return format == AV_PIX_FMT_NV12 || format == AV_PIX_FMT_YUV420P ||
         format == AV_PIX_FMT_YUVJ420P;
}

}  // namespace

bool SurfacePresenter::show(const AVFrame& frame) {
  if (!drawable(frame.format)) return false;
  if (!frame_) frame_.reset(av_frame_alloc());
  av_frame_unref(frame_.get());
  if (!frame_ || av_frame_ref(frame_.get(), &frame) < 0) return false;
  return convert();
}

void SurfacePresenter::redraw() {
  if (frame_ && frame_->data[0]) {
    convert();
  } else if (SDL_Surface* s = surface()) {
    SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, 0, 0, 0));
  }
}

bool SurfacePresenter::convert() {
  SDL_Surface* s = surface();
  if (!s) return false;
  const AVPixelFormat out_format = av_format_of(s->format->format);
  if (out_format == AV_PIX_FMT_NONE || s->format->BytesPerPixel != kBytesPerPixel) return false;
  const Rect r = letterbox(s->w, s->h, frame_->width, frame_->height);
  if (r.w <= 0 || r.h <= 0) return false;
  // Only the bands change colour; the picture covers the rest.
  if (r.w != picture_.w || r.h != picture_.h || r.x != picture_.x || r.y != picture_.y ||
      r.w != s->w || r.h != s->h) {
    SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, 0, 0, 0));
  }
  picture_ = r;
  const bool same_size = r.w == frame_->width && r.h == frame_->height;
  SwsContext* context = sws_getCachedContext(
      sws_.release(), frame_->width, frame_->height, static_cast<AVPixelFormat>(frame_->format),
      r.w, r.h, out_format, same_size ? SWS_POINT : SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
  sws_.reset(context);
  if (!context) return false;
  if (context != configured_) {
    // The host encodes BT.709 studio range; the screen wants full range.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    constexpr int kUnity = 1 << 16;
    sws_setColorspaceDetails(context, bt709, 0, bt709, 1, 0, kUnity, kUnity);
    configured_ = context;
  }
  if (SDL_MUSTLOCK(s) && SDL_LockSurface(s) != 0) return false;
  std::uint8_t* dst[4] = {static_cast<std::uint8_t*>(s->pixels) +
                              static_cast<std::ptrdiff_t>(r.y) * s->pitch + r.x * kBytesPerPixel,
                          nullptr, nullptr, nullptr};
  const int dst_stride[4] = {s->pitch, 0, 0, 0};
  sws_scale(context, frame_->data, frame_->linesize, 0, frame_->height, dst, dst_stride);
  if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
  return true;
}

}  // namespace tolvi::viewer
