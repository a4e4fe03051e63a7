// Draws on an X display ($DISPLAY) for the video end-to-end tests and the pipeline benchmark.
//   x11_painter blocks              the reference blocks over the whole screen, then exit
//   x11_painter animate FPS CELL    every CELL x CELL square of the screen a new colour every
//                                   frame, FPS times a second, until SIGTERM or SIGINT; then
//                                   prints how many frames it drew (a slow server lowers it)
#include <X11/Xlib.h>
#include <signal.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reference_blocks.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

unsigned long pixel(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  // TrueColor 24-bit visuals (Xvfb's default) take the colour as 0xRRGGBB.
  return static_cast<unsigned long>(r) << 16 | static_cast<unsigned long>(g) << 8 | b;
}

std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

void draw_blocks(Display* dpy, Window root, GC gc, int w, int h) {
  using namespace tolvi::testing;
  for (int row = 0; row < kBlockRows; ++row) {
    for (int col = 0; col < kBlockColumns; ++col) {
      const BlockColour& c = kBlockColours[row][col];
      const int x0 = col * w / kBlockColumns, x1 = (col + 1) * w / kBlockColumns;
      const int y0 = row * h / kBlockRows, y1 = (row + 1) * h / kBlockRows;
      XSetForeground(dpy, gc, pixel(c.r, c.g, c.b));
      XFillRectangle(dpy, root, gc, x0, y0, static_cast<unsigned>(x1 - x0),
                     static_cast<unsigned>(y1 - y0));
    }
  }
  XSync(dpy, False);
}

void animate(Display* dpy, Window root, GC gc, int w, int h, int fps, int cell) {
  const long interval_ns = 1'000'000'000L / fps;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  const timespec start = next;
  std::uint32_t frame = 0;
  for (; !g_stop; ++frame) {
    for (int y = 0, j = 0; y < h; y += cell, ++j) {
      for (int x = 0, i = 0; x < w; x += cell, ++i) {
        const std::uint32_t v = mix(static_cast<std::uint32_t>(i) * 73856093U ^
                                    static_cast<std::uint32_t>(j) * 19349663U ^ frame * 83492791U);
        XSetForeground(dpy, gc, v & 0xffffff);
        XFillRectangle(dpy, root, gc, x, y, static_cast<unsigned>(cell),
                       static_cast<unsigned>(cell));
      }
    }
    // Wait for the server to have drawn the frame, so a slow server slows us down instead
    // of queueing requests without end.
    XSync(dpy, False);
    next.tv_nsec += interval_ns;
    while (next.tv_nsec >= 1'000'000'000L) {
      next.tv_nsec -= 1'000'000'000L;
      ++next.tv_sec;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec)) {
      next = now;  // late: start the next frame at once, without a catch-up burst
    } else {
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
  }
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                         static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  std::fprintf(stderr, "x11_painter: %u frames in %.1f s (%.1f fps)\n", frame, seconds,
               seconds > 0 ? frame / seconds : 0.0);
}

int usage() {
  std::fprintf(stderr, "usage: x11_painter blocks | x11_painter animate FPS CELL\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const bool blocks = std::strcmp(argv[1], "blocks") == 0;
  const bool moving = std::strcmp(argv[1], "animate") == 0 && argc == 4;
  if (!blocks && !moving) return usage();
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "x11_painter: cannot open display %s\n", std::getenv("DISPLAY"));
    return 1;
  }
  const int screen = DefaultScreen(dpy);
  const Window root = RootWindow(dpy, screen);
  const int w = DisplayWidth(dpy, screen), h = DisplayHeight(dpy, screen);
  GC gc = XCreateGC(dpy, root, 0, nullptr);
  if (blocks) {
    draw_blocks(dpy, root, gc, w, h);
  } else {
    const int fps = std::atoi(argv[2]), cell = std::atoi(argv[3]);
    if (fps <= 0 || cell <= 0) return usage();
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    animate(dpy, root, gc, w, h, fps, cell);
  }
  XFreeGC(dpy, gc);
  XCloseDisplay(dpy);
  return 0;
}
