// Glass-to-glass probe: flips a square on the host's display between black and white and
// times how long the viewer's display takes to show the new colour at one pixel, read back
// from that display's framebuffer. Prints one line of figures.
//   glass_probe HOST_DISPLAY VIEWER_DISPLAY X Y SAMPLES [PERIOD_MS]
// PERIOD_MS: one flip per period (default: 150 ms after each change was seen).
// X, Y: the viewer display's pixel that shows the centre of the host's screen.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSquare = 256;
constexpr auto kPoll = std::chrono::microseconds(500);
constexpr auto kGiveUp = std::chrono::seconds(2);
constexpr auto kBetweenSamples = std::chrono::milliseconds(150);
constexpr unsigned long kWhite = 0xFFFFFF;
constexpr unsigned long kBlack = 0x000000;
constexpr unsigned kBright = 128;

bool bright_at(Display* display, int x, int y) {
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return false;
  const unsigned long p = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  const unsigned g = (p >> 8) & 0xFF;  // green follows luminance closely enough here
  return g >= kBright;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()));
  return v[i];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: glass_probe HOST_DISPLAY VIEWER_DISPLAY X Y SAMPLES [PERIOD_MS]\n");
    return 2;
  }
  Display* host = XOpenDisplay(argv[1]);
  Display* viewer = XOpenDisplay(argv[2]);
  if (!host || !viewer) {
    std::fprintf(stderr, "glass_probe: cannot open the displays\n");
    return 1;
  }
  const int x = std::atoi(argv[3]);
  const int y = std::atoi(argv[4]);
  const int samples = std::atoi(argv[5]);
  const int period_ms = argc == 7 ? std::atoi(argv[6]) : 0;
  const int screen = DefaultScreen(host);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = kBlack;
  const Window square = XCreateWindow(
      host, RootWindow(host, screen), (DisplayWidth(host, screen) - kSquare) / 2,
      (DisplayHeight(host, screen) - kSquare) / 2, kSquare, kSquare, 0, CopyFromParent, InputOutput,
      CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(host, square);
  XSync(host, False);
  std::this_thread::sleep_for(std::chrono::seconds(1));

  std::vector<double> latencies_ms;
  int missed = 0;
  bool white = bright_at(viewer, x, y);
  for (int i = 0; i < samples; ++i) {
    white = !white;
    XSetWindowBackground(host, square, white ? kWhite : kBlack);
    XClearWindow(host, square);
    XRaiseWindow(host, square);
    XSync(host, False);
    const Clock::time_point changed = Clock::now();
    bool seen = false;
    while (Clock::now() - changed < kGiveUp) {
      if (bright_at(viewer, x, y) == white) {
        seen = true;
        break;
      }
      std::this_thread::sleep_for(kPoll);
    }
    if (seen) {
      latencies_ms.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - changed).count());
    } else {
      ++missed;
    }
    if (period_ms > 0) {
      std::this_thread::sleep_until(changed + std::chrono::milliseconds(period_ms));
    } else {
      std::this_thread::sleep_for(kBetweenSamples);
    }
  }
  std::printf("glass-to-glass: %zu samples, p50 %.1f ms, p99 %.1f ms, max %.1f ms, missed %d\n",
              latencies_ms.size(), percentile(latencies_ms, 0.5), percentile(latencies_ms, 0.99),
              percentile(latencies_ms, 1.0), missed);
  XCloseDisplay(viewer);
  XCloseDisplay(host);
  return 0;
}
