// Prints the size and hot spot of the pointer shape $DISPLAY shows now ("24x24 hot 11,11"),
// for the viewer's pointer-shape test.
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <cstdio>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 1;
  XFixesCursorImage* image = XFixesGetCursorImage(display);
  if (!image) return 1;
  std::printf("%ux%u hot %u,%u\n", static_cast<unsigned>(image->width),
              static_cast<unsigned>(image->height), static_cast<unsigned>(image->xhot),
              static_cast<unsigned>(image->yhot));
  XFree(image);
  XCloseDisplay(display);
  return 0;
}
