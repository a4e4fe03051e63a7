#pragma once
#include <SDL.h>

#include <memory>

extern "C" {
#include <libswscale/swscale.h>
}

#include "ffmpeg/ffmpeg_holders.h"
#include "viewer_logic.h"

namespace tolvi::viewer {

// Shows pictures without a renderer: libswscale converts the decoded NV12 (or I420) picture,
// scaled to its letterbox, straight into the window's own surface, which SDL then puts on the
// screen (shared memory under X11). On a machine without a GPU this is one pass over the
// picture where a streaming texture costs an upload, a conversion and a copy, each in
// software. Not for windows that have a renderer.
class SurfacePresenter {
 public:
  explicit SurfacePresenter(SDL_Window* window) : window_(window) {}
  SurfacePresenter(const SurfacePresenter&) = delete;
  SurfacePresenter& operator=(const SurfacePresenter&) = delete;

  // Takes a reference to the picture and draws it; false when its format cannot be drawn.
  bool show(const AVFrame& frame);
  // Draws the last picture again (the window changed size, or texts over it changed).
  void redraw();
  // Where the picture lies in the window (pixels); empty before the first picture.
  Rect picture() const { return picture_; }
  // The window's surface, for texts drawn over the picture; null when SDL has none.
  SDL_Surface* surface() { return SDL_GetWindowSurface(window_); }
  // Puts the surface on the screen.
  void present() { SDL_UpdateWindowSurface(window_); }

 private:
  struct SwsDeleter {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
  };
  bool convert();

  SDL_Window* window_;
  ffmpeg::FramePtr frame_;
  std::unique_ptr<SwsContext, SwsDeleter> sws_;
  SwsContext* configured_ = nullptr;  // the context whose colour details are set
  Rect picture_;
};

}  // namespace tolvi::viewer
