// A window over the whole screen that prints the input it receives, one line each, so that a
// test can see what reached the desktop: "press a" / "release Shift_L" (the key's name without
// modifiers), "button 1 down X Y" / "button 1 up X Y" (screen pixels), "focus". It prints
// "ready" once the window is shown. Runs until killed. Usage: x11_input_watcher (on $DISPLAY)
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <cstdio>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "cannot open the display\n");
    return 1;
  }
  const int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = WhitePixel(display, screen);
  attributes.event_mask = ExposureMask | KeyPressMask | KeyReleaseMask | ButtonPressMask |
                          ButtonReleaseMask | FocusChangeMask;
  const Window window =
      XCreateWindow(display, RootWindow(display, screen), 0, 0,
                    static_cast<unsigned>(DisplayWidth(display, screen)),
                    static_cast<unsigned>(DisplayHeight(display, screen)), 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attributes);
  XStoreName(display, window, "tolvi input watcher");
  XMapRaised(display, window);
  bool ready = false;
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    switch (event.type) {
      case Expose:
        if (!ready) std::printf("ready\n");
        ready = true;
        break;
      case FocusIn:
        std::printf("focus\n");
        break;
      case KeyPress:
      case KeyRelease: {
        const KeySym key = XkbKeycodeToKeysym(display, event.xkey.keycode, 0, 0);
        const char* name = XKeysymToString(key);
        std::printf("%s %s\n", event.type == KeyPress ? "press" : "release", name ? name : "?");
        break;
      }
      case ButtonPress:
      case ButtonRelease:
        std::printf("button %u %s %d %d\n", event.xbutton.button,
                    event.type == ButtonPress ? "down" : "up", event.xbutton.x_root,
                    event.xbutton.y_root);
        break;
      default:
        break;
    }
    std::fflush(stdout);
  }
}
