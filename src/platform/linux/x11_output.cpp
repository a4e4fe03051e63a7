#include "platform/linux/x11_output.h"

#include <X11/extensions/Xrandr.h>

namespace tolvi::platform {

// The primary output's rectangle, or the whole screen when RandR names no primary output
// with a CRTC (Xvfb, a single unnamed screen, no RandR at all).
OutputChoice primary_output(Display* display, Window root, bool have_randr) {
  OutputChoice choice;
  // The root window's size as the server has it now: DisplayWidth/DisplayHeight are from the
  // connection's set-up and miss a resize that landed since.
  Window root_return = None;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (XGetGeometry(display, root, &root_return, &x, &y, &width, &height, &border, &depth)) {
    choice.rect = {0, 0, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
  } else {
    choice.rect = {0, 0, DisplayWidth(display, DefaultScreen(display)),
                   DisplayHeight(display, DefaultScreen(display))};
  }
  if (!have_randr) return choice;
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
  if (!resources) return choice;
  const RROutput primary = XRRGetOutputPrimary(display, root);
  if (primary != None) {
    if (XRROutputInfo* output = XRRGetOutputInfo(display, resources, primary)) {
      if (output->crtc != None) {
        if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, output->crtc)) {
          if (crtc->width > 0 && crtc->height > 0) {
            choice.rect = {crtc->x, crtc->y, crtc->x + static_cast<std::int32_t>(crtc->width),
                           crtc->y + static_cast<std::int32_t>(crtc->height)};
          }
          XRRFreeCrtcInfo(crtc);
        }
      }
      choice.name.assign(output->name, static_cast<std::size_t>(output->nameLen));
      XRRFreeOutputInfo(output);
    }
  } else if (resources->noutput > 0) {
    if (XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[0])) {
      choice.name.assign(output->name, static_cast<std::size_t>(output->nameLen));
      XRRFreeOutputInfo(output);
    }
  }
  XRRFreeScreenResources(resources);
  return choice;
}

}  // namespace tolvi::platform
