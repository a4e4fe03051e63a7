// Grabs the keyboard of an X display and prints every key press and release by key name
// ("press Delete"), so a test can see which keys reached the display. Prints "ready" once the
// grab holds. Usage: x11_key_watcher (on $DISPLAY)
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <cstdio>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "cannot open the display\n");
    return 1;
  }
  const Window root = DefaultRootWindow(display);
  if (XGrabKeyboard(display, root, False, GrabModeAsync, GrabModeAsync, CurrentTime) !=
      GrabSuccess) {
    std::fprintf(stderr, "cannot grab the keyboard\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  while (true) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type != KeyPress && event.type != KeyRelease) continue;
    const KeySym key = XkbKeycodeToKeysym(display, event.xkey.keycode, 0, 0);
    const char* name = XKeysymToString(key);
    std::printf("%s %s\n", event.type == KeyPress ? "press" : "release", name ? name : "?");
    std::fflush(stdout);
  }
}
