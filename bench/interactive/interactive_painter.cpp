// The program a person would click and type into, for the interactive bench: a black window
// over the whole screen with the input focus. Each button press flips a 200x200 square in the
// middle between black and white; each key press fills a 400x120 area to the upper left of it
// with rows of the typed character, or clears it again. After each change is on the server
// (XSync) one line goes to standard output:
//   KIND RECEIVED_US DRAWN_US    (KIND: button or key; monotonic microseconds)
// Runs until SIGTERM or SIGINT.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/select.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

volatile sig_atomic_t stop = 0;
void on_signal(int) { stop = 1; }

std::uint64_t now_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000u + static_cast<std::uint64_t>(t.tv_nsec) / 1000u;
}

constexpr int kSquare = 200;
constexpr int kTextX = 560, kTextY = 300, kTextW = 400, kTextH = 120;

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "interactive_painter: no display\n");
    return 1;
  }
  const int screen = DefaultScreen(dpy);
  const int w = DisplayWidth(dpy, screen), h = DisplayHeight(dpy, screen);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(dpy, screen);
  attributes.event_mask = ButtonPressMask | KeyPressMask | ExposureMask;
  const Window window = XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, static_cast<unsigned>(w),
                                      static_cast<unsigned>(h), 0, CopyFromParent, InputOutput,
                                      CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask,
                                      &attributes);
  XMapRaised(dpy, window);
  XSync(dpy, False);
  XSetInputFocus(dpy, window, RevertToParent, CurrentTime);
  GC gc = XCreateGC(dpy, window, 0, nullptr);
  XFontStruct* font = XLoadQueryFont(dpy, "fixed");
  if (font) XSetFont(dpy, gc, font->fid);
  bool white = false, text = false;
  const int fd = ConnectionNumber(dpy);
  std::printf("ready\n");
  while (!stop) {
    if (XPending(dpy) == 0) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(fd, &set);
      timeval tv{0, 100000};
      select(fd + 1, &set, nullptr, nullptr, &tv);
      continue;
    }
    XEvent e;
    XNextEvent(dpy, &e);
    const std::uint64_t received = now_us();
    const char* kind = nullptr;
    if (e.type == ButtonPress) {
      white = !white;
      XSetForeground(dpy, gc, white ? WhitePixel(dpy, screen) : BlackPixel(dpy, screen));
      XFillRectangle(dpy, window, gc, (w - kSquare) / 2, (h - kSquare) / 2, kSquare, kSquare);
      kind = "button";
    } else if (e.type == KeyPress) {
      text = !text;
      XSetForeground(dpy, gc, BlackPixel(dpy, screen));
      XFillRectangle(dpy, window, gc, kTextX, kTextY, kTextW, kTextH);
      if (text) {
        char c[8] = {};
        KeySym sym = 0;
        if (XLookupString(&e.xkey, c, sizeof c - 1, &sym, nullptr) < 1) c[0] = '#';
        const std::string row(static_cast<std::size_t>(kTextW / 6), c[0]);
        XSetForeground(dpy, gc, WhitePixel(dpy, screen));
        for (int y = kTextY + 12; y < kTextY + kTextH; y += 13) {
          XDrawString(dpy, window, gc, kTextX, y, row.c_str(), static_cast<int>(row.size()));
        }
      }
      kind = "key";
    }
    if (!kind) continue;
    XSync(dpy, False);
    std::printf("%s %llu %llu\n", kind, static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(now_us()));
  }
  if (font) XFreeFont(dpy, font);
  XFreeGC(dpy, gc);
  XCloseDisplay(dpy);
  return 0;
}
