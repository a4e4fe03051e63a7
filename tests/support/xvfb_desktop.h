#pragma once
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <optional>
#include <string>
#include <utility>

#include "support/xvfb_server.h"

namespace tolvi::testing {

// A private Xvfb started at 3840x2160 (RandR can never grow a screen past its start size),
// given 60 Hz modes of 2560x1440, 1920x1080 and 1280x800 on its one output "screen", and
// shrunk to 1920x1080: the desktop a host sees before any client asks for matching.
class XvfbDesktop {
 public:
  XvfbDesktop() {
    if (server_.display().empty()) return;
    display_ = XOpenDisplay(server_.display().c_str());
    if (!display_) return;
    for (auto [w, h] : {std::pair{2560, 1440}, std::pair{1920, 1080}, std::pair{1280, 800}}) {
      add_mode(w, h);
    }
    switch_to(1920, 1080);
  }
  ~XvfbDesktop() {
    if (display_) XCloseDisplay(display_);
  }
  XvfbDesktop(const XvfbDesktop&) = delete;
  XvfbDesktop& operator=(const XvfbDesktop&) = delete;

  bool ready() const { return display_ != nullptr; }
  const std::string& name() const { return server_.display(); }
  Display* display() const { return display_; }

  // The screen size the server has now.
  std::pair<unsigned, unsigned> size() const {
    Window root_return;
    int x, y;
    unsigned w = 0, h = 0, border, depth;
    XGetGeometry(display_, DefaultRootWindow(display_), &root_return, &x, &y, &w, &h, &border,
                 &depth);
    return {w, h};
  }

  // What a local user would do: switch the output (growing first, shrinking last).
  void switch_to(int w, int h) {
    Window root = DefaultRootWindow(display_);
    XRRScreenResources* res = XRRGetScreenResources(display_, root);
    RROutput output = res->outputs[0];
    XRROutputInfo* info = XRRGetOutputInfo(display_, res, output);
    RRCrtc crtc = info->crtc ? info->crtc : res->crtcs[0];
    XRRFreeOutputInfo(info);
    RRMode mode = None;
    for (int i = 0; i < res->nmode; ++i) {
      if (static_cast<int>(res->modes[i].width) == w && static_cast<int>(res->modes[i].height) == h)
        mode = res->modes[i].id;
    }
    const auto [cw, ch] = size();
    const bool grow = w > static_cast<int>(cw) || h > static_cast<int>(ch);
    const int mm_w = w * 254 / 960, mm_h = h * 254 / 960;
    if (grow) XRRSetScreenSize(display_, root, w, h, mm_w, mm_h);
    XRRSetCrtcConfig(display_, res, crtc, CurrentTime, 0, 0, mode, RR_Rotate_0, &output, 1);
    if (!grow) XRRSetScreenSize(display_, root, w, h, mm_w, mm_h);
    XRRFreeScreenResources(res);
    XSync(display_, False);
  }

  // Xft.dpi in the root window's resources (nullopt when absent), and the whole text.
  std::string resources() const {
    const Atom property = XInternAtom(display_, "RESOURCE_MANAGER", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_), property, 0, 1 << 20, False,
                           XA_STRING, &type, &format, &count, &after, &data) == Success &&
        data) {
      text.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
    }
    return text;
  }
  void set_resources(const std::string& text) {
    const Atom property = XInternAtom(display_, "RESOURCE_MANAGER", False);
    XChangeProperty(display_, DefaultRootWindow(display_), property, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<int>(text.size()));
    XSync(display_, False);
  }

 private:
  void add_mode(int w, int h) {
    Window root = DefaultRootWindow(display_);
    XRRScreenResources* res = XRRGetScreenResources(display_, root);
    std::string name = std::to_string(w) + "x" + std::to_string(h) + "_60";
    XRRModeInfo info{};
    info.width = static_cast<unsigned>(w);
    info.height = static_cast<unsigned>(h);
    info.hTotal = static_cast<unsigned>(w);
    info.vTotal = static_cast<unsigned>(h);
    info.dotClock = static_cast<unsigned long>(w) * static_cast<unsigned long>(h) * 60;
    info.name = name.data();
    info.nameLength = static_cast<unsigned>(name.size());
    RRMode mode = XRRCreateMode(display_, root, &info);
    XRRAddOutputMode(display_, res->outputs[0], mode);
    XRRFreeScreenResources(res);
    XSync(display_, False);
  }

  XvfbServer server_;
  Display* display_ = nullptr;
};

}  // namespace tolvi::testing
