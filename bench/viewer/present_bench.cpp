// The cost of showing one decoded 1080p picture in a window, for each way the viewer can show
// it: SDL's default renderer with a streaming NV12 texture (on a machine without a GPU that is
// Mesa's software rasteriser), SDL's software renderer with the same texture, and libswscale
// converting NV12 straight into the window's surface. Wall and CPU time per presented picture.
// Run it on any X display (a private Xvfb in `make bench`). Figures only.
//   present_bench [WIDTH HEIGHT [PICTURES [accelerated]]]
#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "ffmpeg/ffmpeg_holders.h"
#include "surface_presenter.h"

namespace {

double now_ms(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// A picture as the decoder gives it (I420 from software decoding, NV12 from VAAPI) whose
// content changes every call, so nothing can be skipped.
struct Picture {
  int w, h;
  bool nv12;
  tolvi::ffmpeg::FramePtr frame{av_frame_alloc()};
  Picture(int width, int height, bool is_nv12) : w(width), h(height), nv12(is_nv12) {
    frame->format = nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    frame->width = w;
    frame->height = h;
    if (av_frame_get_buffer(frame.get(), 0) < 0) std::abort();
  }
  void paint(int n) {
    if (av_frame_make_writable(frame.get()) < 0) std::abort();
    for (int row = 0; row < h; ++row) {
      std::uint8_t* line = frame->data[0] + static_cast<std::ptrdiff_t>(row) * frame->linesize[0];
      for (int col = 0; col < w; ++col) line[col] = static_cast<std::uint8_t>(16 + (col + row + n) % 220);
    }
    for (int plane = 1; plane <= (nv12 ? 1 : 2); ++plane) {
      for (int row = 0; row < h / 2; ++row) {
        std::uint8_t* line =
            frame->data[plane] + static_cast<std::ptrdiff_t>(row) * frame->linesize[plane];
        for (int col = 0; col < (nv12 ? w : w / 2); ++col) {
          line[col] = static_cast<std::uint8_t>(64 + (col + row + n) % 128);
        }
      }
    }
  }
};

struct Result {
  double wall_ms = 0;
  double cpu_ms = 0;     // the whole process: a renderer's own threads count
  double thread_ms = 0;  // the presenting thread alone
};

template <typename Present>
Result time_pictures(Picture& p, int pictures, Present present) {
  p.paint(0);
  present();  // first call sets everything up
  Result r;
  for (int i = 0; i < pictures; ++i) {
    p.paint(i + 1);
    SDL_Delay(5);  // no backlog of pictures in the display server
    const double wall = now_ms(CLOCK_MONOTONIC);
    const double cpu = now_ms(CLOCK_PROCESS_CPUTIME_ID);
    const double thread = now_ms(CLOCK_THREAD_CPUTIME_ID);
    present();
    r.wall_ms += now_ms(CLOCK_MONOTONIC) - wall;
    r.cpu_ms += now_ms(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    r.thread_ms += now_ms(CLOCK_THREAD_CPUTIME_ID) - thread;
  }
  r.wall_ms /= pictures;
  r.cpu_ms /= pictures;
  r.thread_ms /= pictures;
  return r;
}

Result with_renderer(Picture& p, int pictures, Uint32 flags, const char* label) {
  SDL_Window* window = SDL_CreateWindow("present_bench", 0, 0, p.w, p.h, 0);
  SDL_Renderer* renderer = window ? SDL_CreateRenderer(window, -1, flags) : nullptr;
  SDL_Texture* texture = renderer ? SDL_CreateTexture(renderer,
                                                      p.nv12 ? SDL_PIXELFORMAT_NV12
                                                             : SDL_PIXELFORMAT_IYUV,
                                                      SDL_TEXTUREACCESS_STREAMING, p.w, p.h)
                                  : nullptr;
  Result r{-1, -1, -1};
  if (texture) {
    SDL_RendererInfo info{};
    SDL_GetRendererInfo(renderer, &info);
    std::printf("  %-40s (SDL's %s renderer)\n", label, info.name);
    r = time_pictures(p, pictures, [&] {
      const AVFrame& f = *p.frame;
      if (p.nv12) {
        SDL_UpdateNVTexture(texture, nullptr, f.data[0], f.linesize[0], f.data[1], f.linesize[1]);
      } else {
        SDL_UpdateYUVTexture(texture, nullptr, f.data[0], f.linesize[0], f.data[1],
                             f.linesize[1], f.data[2], f.linesize[2]);
      }
      SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
      SDL_RenderClear(renderer);
      SDL_RenderCopy(renderer, texture, nullptr, nullptr);
      SDL_RenderPresent(renderer);
    });
  } else {
    std::printf("  %-40s unavailable: %s\n", label, SDL_GetError());
  }
  if (texture) SDL_DestroyTexture(texture);
  if (renderer) SDL_DestroyRenderer(renderer);
  if (window) SDL_DestroyWindow(window);
  return r;
}

Result with_surface(Picture& p, int pictures) {
  SDL_Window* window = SDL_CreateWindow("present_bench", 0, 0, p.w, p.h, 0);
  Result r{-1, -1, -1};
  if (!window) return r;
  std::printf("  %-40s\n", "libswscale into the window surface");
  {
    tolvi::viewer::SurfacePresenter presenter(window);
    r = time_pictures(p, pictures, [&] {
      presenter.show(*p.frame);
      presenter.present();
    });
  }
  SDL_DestroyWindow(window);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int w = argc > 2 ? std::atoi(argv[1]) : 1920;
  const int h = argc > 2 ? std::atoi(argv[2]) : 1080;
  const int pictures = argc > 3 ? std::atoi(argv[3]) : 120;
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    std::fprintf(stderr, "present_bench: no display: %s\n", SDL_GetError());
    return 1;
  }
  SDL_SetYUVConversionMode(SDL_YUV_CONVERSION_BT709);
  // A window's surface is otherwise a texture of a hidden OpenGL renderer (Mesa's software
  // rasteriser here); the viewer puts it on the screen directly, and so does this bench.
  const bool direct = argc <= 4 || std::strcmp(argv[4], "accelerated") != 0;
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, direct ? "0" : "1");
  std::printf("window surfaces %s\n", direct ? "put on the screen directly (as the viewer does)"
                                             : "through SDL's accelerated framebuffer");
  for (const bool nv12 : {true, false}) {
    Picture p(w, h, nv12);
    std::printf("presenting a %dx%d %s picture (%s), %d pictures each:\n", w, h,
                nv12 ? "NV12" : "I420", nv12 ? "hardware decoding" : "software decoding",
                pictures);
    // The renderer that may start threads (Mesa's) goes last, so they cannot be counted
    // against the others.
    const Result ways[] = {
        with_surface(p, pictures),
        with_renderer(p, pictures, SDL_RENDERER_SOFTWARE, "streaming texture, software renderer"),
        with_renderer(p, pictures, 0, "streaming texture, default renderer"),
    };
    const char* names[] = {"swscale into surface", "software renderer", "default renderer"};
    for (int i = 0; i < 3; ++i) {
      if (ways[i].wall_ms < 0) continue;
      std::printf("  %-22s per picture: CPU %6.2f ms (this thread %6.2f ms), wall %6.2f ms\n",
                  names[i], ways[i].cpu_ms, ways[i].thread_ms, ways[i].wall_ms);
    }
  }
  SDL_Quit();
  return 0;
}
