// Draws on an X display ($DISPLAY) for the video end-to-end tests and the pipeline benchmark.
//   x11_painter blocks              the reference blocks over the whole screen, then exit
//   x11_painter animate FPS CELL [X Y W H]
//                                   every CELL x CELL square of the screen (or of the W x H
//                                   rectangle at X, Y; the rest is left alone) a new colour
//                                   every frame, FPS times a second, until SIGTERM or SIGINT;
//                                   then prints how many frames it drew (a slow server lowers it)
//   x11_painter type RATE           a white page in the middle of the screen, then RATE
//                                   characters a second typed onto it with XDrawString, until
//                                   SIGTERM or SIGINT; then prints how many it drew
//   x11_painter fill RRGGBB         the screen in one colour, until SIGTERM or SIGINT
// With --window first, the painter draws into a window of its own that covers the screen,
// kept until SIGTERM or SIGINT, instead of onto the root window: on Xwayland the desktop does
// not show the root window. "fill" always uses a window.
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/select.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "painter_cells.h"
#include "reference_blocks.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

constexpr long kNanosecondsPerSecond = 1'000'000'000L;

// The typing page: a quarter of a 1080p screen, centred; the font is the server's built-in one.
constexpr int kPageWidth = 960;
constexpr int kPageHeight = 540;
constexpr int kPageMargin = 8;
constexpr char kPageFont[] = "fixed";
constexpr char kTypedText[] =
    "The quick brown fox jumps over the lazy dog while the host streams this page. ";

unsigned long pixel(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  // TrueColor 24-bit visuals (Xvfb's default) take the colour as 0xRRGGBB.
  return static_cast<unsigned long>(r) << 16 | static_cast<unsigned long>(g) << 8 | b;
}

struct Rect {
  int x, y, w, h;
};

// Wakes a loop FPS times a second on the monotonic clock. A late tick starts the next period
// at once, without a catch-up burst; the achieved rate is printed at the end.
class Ticker {
 public:
  explicit Ticker(int per_second) : interval_ns_(kNanosecondsPerSecond / per_second) {
    clock_gettime(CLOCK_MONOTONIC, &next_);
    start_ = next_;
  }

  void wait() {
    next_.tv_nsec += interval_ns_;
    while (next_.tv_nsec >= kNanosecondsPerSecond) {
      next_.tv_nsec -= kNanosecondsPerSecond;
      ++next_.tv_sec;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > next_.tv_sec || (now.tv_sec == next_.tv_sec && now.tv_nsec > next_.tv_nsec)) {
      next_ = now;
    } else {
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next_, nullptr);
    }
  }

  void report(const char* what, std::uint32_t count) const {
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds = static_cast<double>(end.tv_sec - start_.tv_sec) +
                           static_cast<double>(end.tv_nsec - start_.tv_nsec) / 1e9;
    std::fprintf(stderr, "x11_painter: %u %s in %.1f s (%.1f/s)\n", count, what, seconds,
                 seconds > 0 ? count / seconds : 0.0);
  }

 private:
  long interval_ns_;
  timespec start_{};
  timespec next_{};
};

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

void animate(Display* dpy, Window root, GC gc, Rect area, int fps, int cell) {
  Ticker ticker(fps);
  std::uint32_t frame = 0;
  for (; !g_stop; ++frame) {
    for (int y = area.y, j = 0; y < area.y + area.h; y += cell, ++j) {
      for (int x = area.x, i = 0; x < area.x + area.w; x += cell, ++i) {
        const std::uint32_t v = tolvi::testing::painter_cell_colour(
            static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), frame);
        XSetForeground(dpy, gc, v & 0xffffff);
        // Cells at the far edges are cut to the area.
        XFillRectangle(dpy, root, gc, x, y,
                       static_cast<unsigned>(std::min(cell, area.x + area.w - x)),
                       static_cast<unsigned>(std::min(cell, area.y + area.h - y)));
      }
    }
    // Wait for the server to have drawn the frame, so a slow server slows us down instead
    // of queueing requests without end.
    XSync(dpy, False);
    ticker.wait();
  }
  ticker.report("frames", frame);
}

void type(Display* dpy, Window root, GC gc, int w, int h, int rate) {
  XFontStruct* font = XLoadQueryFont(dpy, kPageFont);
  if (font) XSetFont(dpy, gc, font->fid);
  const int advance = font ? font->max_bounds.width : 6;
  const int ascent = font ? font->ascent : 10;
  const int line_height = font ? font->ascent + font->descent : 13;
  const Rect page{(w - kPageWidth) / 2, (h - kPageHeight) / 2, kPageWidth, kPageHeight};
  const auto clear_page = [&] {
    XSetForeground(dpy, gc, pixel(255, 255, 255));
    XFillRectangle(dpy, root, gc, page.x, page.y, static_cast<unsigned>(page.w),
                   static_cast<unsigned>(page.h));
    XSetForeground(dpy, gc, pixel(0, 0, 0));
  };
  clear_page();
  XSync(dpy, False);

  const int columns = (page.w - 2 * kPageMargin) / advance;
  const int rows = (page.h - 2 * kPageMargin) / line_height;
  const std::size_t text_length = std::strlen(kTypedText);
  int column = 0, row = 0;
  Ticker ticker(rate);
  std::uint32_t typed = 0;
  for (; !g_stop; ++typed) {
    ticker.wait();
    if (column == columns) {
      column = 0;
      if (++row == rows) {
        row = 0;
        clear_page();
      }
    }
    XDrawString(dpy, root, gc, page.x + kPageMargin + column * advance,
                page.y + kPageMargin + row * line_height + ascent, &kTypedText[typed % text_length],
                1);
    XSync(dpy, False);
    ++column;
  }
  ticker.report("characters", typed);
  if (font) XFreeFont(dpy, font);
}

int usage() {
  std::fprintf(stderr,
               "usage: x11_painter [--window] blocks | x11_painter [--window] animate FPS CELL "
               "[X Y W H] | x11_painter [--window] type RATE | x11_painter fill RRGGBB\n");
  return 2;
}

}  // namespace

// A window over the whole screen that the window manager leaves alone (override-redirect),
// mapped and shown once this returns.
Window screen_window(Display* dpy, int screen, int w, int h) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(dpy, screen);
  attributes.event_mask = ExposureMask;
  const Window window =
      XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, static_cast<unsigned>(w),
                    static_cast<unsigned>(h), 0, CopyFromParent, InputOutput, CopyFromParent,
                    CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
  XMapRaised(dpy, window);
  XEvent event;
  do {
    XNextEvent(dpy, &event);
  } while (event.type != Expose);
  return window;
}

// Draws with `draw` now and whenever the window is exposed again, until a signal.
template <typename Draw>
void keep_drawn(Display* dpy, Draw draw) {
  draw();
  const int fd = ConnectionNumber(dpy);
  while (!g_stop) {
    while (XPending(dpy) > 0) {
      XEvent event;
      XNextEvent(dpy, &event);
      if (event.type == Expose && event.xexpose.count == 0) draw();
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval tick{0, 200000};
    select(fd + 1, &readable, nullptr, nullptr, &tick);
  }
}

int main(int argc, char** argv) {
  bool own_window = argc > 1 && std::string_view(argv[1]) == "--window";
  if (own_window) {
    --argc;
    ++argv;
  }
  if (argc < 2) return usage();
  const std::string_view mode = argv[1];
  const bool blocks = mode == "blocks" && argc == 2;
  const bool moving = mode == "animate" && (argc == 4 || argc == 8);
  const bool typing = mode == "type" && argc == 3;
  const bool filling = mode == "fill" && argc == 3 && std::strlen(argv[2]) == 6;
  if (!blocks && !moving && !typing && !filling) return usage();
  own_window = own_window || filling;
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "x11_painter: cannot open display %s\n", std::getenv("DISPLAY"));
    return 1;
  }
  const int screen = DefaultScreen(dpy);
  const int w = DisplayWidth(dpy, screen), h = DisplayHeight(dpy, screen);
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  const Window root = own_window ? screen_window(dpy, screen, w, h) : RootWindow(dpy, screen);
  GC gc = XCreateGC(dpy, root, 0, nullptr);
  int status = 0;
  if (filling) {
    const unsigned long colour = std::strtoul(argv[2], nullptr, 16);
    keep_drawn(dpy, [&] {
      XSetForeground(dpy, gc, colour);
      XFillRectangle(dpy, root, gc, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
      XSync(dpy, False);
    });
  } else if (blocks && own_window) {
    keep_drawn(dpy, [&] { draw_blocks(dpy, root, gc, w, h); });
  } else if (blocks) {
    draw_blocks(dpy, root, gc, w, h);
  } else if (moving) {
    const int fps = std::atoi(argv[2]), cell = std::atoi(argv[3]);
    Rect area{0, 0, w, h};
    if (argc == 8) {
      area = {std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7])};
    }
    const bool inside = area.x >= 0 && area.y >= 0 && area.w > 0 && area.h > 0 &&
                        area.x + area.w <= w && area.y + area.h <= h;
    if (fps <= 0 || cell <= 0 || !inside) {
      status = usage();
    } else {
      animate(dpy, root, gc, area, fps, cell);
    }
  } else {
    const int rate = std::atoi(argv[2]);
    if (rate <= 0 || w < kPageWidth || h < kPageHeight) {
      status = usage();
    } else {
      type(dpy, root, gc, w, h, rate);
    }
  }
  XFreeGC(dpy, gc);
  XCloseDisplay(dpy);
  return status;
}
