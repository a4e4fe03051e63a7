// RandR modes of one output, switching them with the screen resized in the right order, and
// the Xft.dpi resource that X toolkits read as the desktop's scaling.
#include "platform/linux/xrandr_output.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace tolvi::platform {

namespace {

constexpr std::uint32_t kBitsPerPixel = 32;
constexpr char kXftDpi[] = "Xft.dpi:";
constexpr long kMaxResourceWords = 1 << 24;

struct ResourcesDeleter {
  void operator()(XRRScreenResources* p) const { XRRFreeScreenResources(p); }
};
struct OutputDeleter {
  void operator()(XRROutputInfo* p) const { XRRFreeOutputInfo(p); }
};
struct CrtcDeleter {
  void operator()(XRRCrtcInfo* p) const { XRRFreeCrtcInfo(p); }
};
using Resources = std::unique_ptr<XRRScreenResources, ResourcesDeleter>;
using OutputInfo = std::unique_ptr<XRROutputInfo, OutputDeleter>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, CrtcDeleter>;

Resources resources_of(X11Connection& connection) {
  return Resources(XRRGetScreenResourcesCurrent(connection.display(), connection.root()));
}

// The output of that name (or the first output for an empty name, as the capture does when
// RandR names none).
RROutput find_output(X11Connection& connection, XRRScreenResources* resources,
                     const std::string& name, OutputInfo& info) {
  for (int i = 0; i < resources->noutput; ++i) {
    OutputInfo candidate(XRRGetOutputInfo(connection.display(), resources, resources->outputs[i]));
    if (!candidate) continue;
    const std::string candidate_name(candidate->name, static_cast<std::size_t>(candidate->nameLen));
    if (name.empty() || candidate_name == name) {
      info = std::move(candidate);
      return resources->outputs[i];
    }
  }
  return None;
}

const XRRModeInfo* mode_info(XRRScreenResources* resources, RRMode id) {
  for (int i = 0; i < resources->nmode; ++i) {
    if (resources->modes[i].id == id) return &resources->modes[i];
  }
  return nullptr;
}

DisplayMode to_display_mode(const XRRModeInfo& info) {
  return DisplayMode{info.width, info.height, kBitsPerPixel, refresh_of(info), info.id};
}

bool rotated(Rotation rotation) { return (rotation & (RR_Rotate_90 | RR_Rotate_270)) != 0; }

}  // namespace

std::uint32_t refresh_of(const XRRModeInfo& mode) {
  const double lines = static_cast<double>(mode.hTotal) * static_cast<double>(mode.vTotal);
  if (lines <= 0) return 0;
  return static_cast<std::uint32_t>(std::lround(static_cast<double>(mode.dotClock) / lines));
}

std::optional<DisplayMode> XrandrOutput::current_mode() {
  Resources resources = resources_of(connection_);
  if (!resources) return std::nullopt;
  OutputInfo output;
  if (find_output(connection_, resources.get(), name_, output) == None || !output->crtc) {
    return std::nullopt;
  }
  CrtcInfo crtc(XRRGetCrtcInfo(connection_.display(), resources.get(), output->crtc));
  if (!crtc) return std::nullopt;
  const XRRModeInfo* info = mode_info(resources.get(), crtc->mode);
  if (!info) return std::nullopt;
  return to_display_mode(*info);
}

std::vector<DisplayMode> XrandrOutput::modes() {
  std::vector<DisplayMode> modes;
  Resources resources = resources_of(connection_);
  if (!resources) return modes;
  OutputInfo output;
  if (find_output(connection_, resources.get(), name_, output) == None) return modes;
  for (int i = 0; i < output->nmode; ++i) {
    if (const XRRModeInfo* info = mode_info(resources.get(), output->modes[i])) {
      modes.push_back(to_display_mode(*info));
    }
  }
  return modes;
}

std::pair<int, int> XrandrOutput::physical_mm() {
  Resources resources = resources_of(connection_);
  if (!resources) return {0, 0};
  OutputInfo output;
  if (find_output(connection_, resources.get(), name_, output) == None) return {0, 0};
  return {static_cast<int>(output->mm_width), static_cast<int>(output->mm_height)};
}

ScreenSize XrandrOutput::screen_size() {
  // The root window's geometry is the server's current size (Xlib's copy in the Screen
  // structure changes only once we handle its notification).
  Window root_return = None;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  XGetGeometry(connection_.display(), connection_.root(), &root_return, &x, &y, &width, &height,
               &border, &depth);
  ScreenSize size{static_cast<int>(width), static_cast<int>(height), 0, 0};
  const int screen = DefaultScreen(connection_.display());
  const int known_w = DisplayWidth(connection_.display(), screen);
  const int known_h = DisplayHeight(connection_.display(), screen);
  // Keep the screen's physical density: millimetres scale with pixels.
  if (known_w > 0 && known_h > 0) {
    size.mm_width = static_cast<int>(std::lround(
        static_cast<double>(DisplayWidthMM(connection_.display(), screen)) * size.width / known_w));
    size.mm_height = static_cast<int>(
        std::lround(static_cast<double>(DisplayHeightMM(connection_.display(), screen)) *
                    size.height / known_h));
  }
  return size;
}

long XrandrOutput::switch_to(std::uint64_t mode_id, const std::optional<ScreenSize>& screen) {
  Display* display = connection_.display();
  // Nobody sees the screen's size and the CRTC in between (a desktop that reads the
  // configuration meanwhile would lay itself out for a screen about to change again), and
  // nobody changes them under our reading of them.
  const ServerGrab grab(connection_);
  Resources resources = resources_of(connection_);
  if (!resources) return BadImplementation;
  OutputInfo output;
  RROutput output_id = find_output(connection_, resources.get(), name_, output);
  if (output_id == None) return BadMatch;
  RRCrtc crtc_id = output->crtc ? output->crtc : (output->ncrtc > 0 ? output->crtcs[0] : None);
  if (crtc_id == None) return BadMatch;
  CrtcInfo crtc(XRRGetCrtcInfo(display, resources.get(), crtc_id));
  const XRRModeInfo* mode = mode_info(resources.get(), static_cast<RRMode>(mode_id));
  if (!crtc || !mode) return BadMatch;

  // The screen must hold every CRTC: this one with its new mode, the others as they are.
  int mode_w = static_cast<int>(mode->width), mode_h = static_cast<int>(mode->height);
  if (rotated(crtc->rotation)) std::swap(mode_w, mode_h);
  int need_w = crtc->x + mode_w, need_h = crtc->y + mode_h;
  for (int i = 0; i < resources->ncrtc; ++i) {
    if (resources->crtcs[i] == crtc_id) continue;
    CrtcInfo other(XRRGetCrtcInfo(display, resources.get(), resources->crtcs[i]));
    if (!other || other->mode == None) continue;
    need_w = std::max(need_w, other->x + static_cast<int>(other->width));
    need_h = std::max(need_h, other->y + static_cast<int>(other->height));
  }
  const ScreenSize before = screen_size();
  ScreenSize after = screen.value_or(ScreenSize{});
  if (!screen) {
    int min_w = 0, min_h = 0, max_w = 0, max_h = 0;
    XRRGetScreenSizeRange(display, connection_.root(), &min_w, &min_h, &max_w, &max_h);
    after.width = std::max(need_w, min_w);
    after.height = std::max(need_h, min_h);
    after.mm_width = before.width > 0
                         ? static_cast<int>(std::lround(static_cast<double>(before.mm_width) *
                                                        after.width / before.width))
                         : 0;
    after.mm_height = before.height > 0
                          ? static_cast<int>(std::lround(static_cast<double>(before.mm_height) *
                                                         after.height / before.height))
                          : 0;
  }

  // Grow first (a CRTC may never stick out of the screen), switch, then shrink.
  ScreenSize between = before;
  between.width = std::max(before.width, after.width);
  between.height = std::max(before.height, after.height);
  if (between.width != before.width || between.height != before.height) {
    between.mm_width = std::max(before.mm_width, after.mm_width);
    between.mm_height = std::max(before.mm_height, after.mm_height);
    XRRSetScreenSize(display, connection_.root(), between.width, between.height, between.mm_width,
                     between.mm_height);
  }
  std::vector<RROutput> outputs(crtc->outputs, crtc->outputs + crtc->noutput);
  if (outputs.empty()) outputs.push_back(output_id);
  const Status status = XRRSetCrtcConfig(display, resources.get(), crtc_id, CurrentTime, crtc->x,
                                         crtc->y, static_cast<RRMode>(mode_id), crtc->rotation,
                                         outputs.data(), static_cast<int>(outputs.size()));
  if (status != RRSetConfigSuccess) {
    // Leave the screen as it was.
    if (!(between == before)) {
      XRRSetScreenSize(display, connection_.root(), before.width, before.height, before.mm_width,
                       before.mm_height);
    }
    connection_.sync_errors();
    return static_cast<long>(status);
  }
  if (!(after == between)) {
    XRRSetScreenSize(display, connection_.root(), after.width, after.height, after.mm_width,
                     after.mm_height);
  }
  return connection_.sync_errors();
}

std::optional<std::string> read_xft_dpi(X11Connection& connection) {
  Display* display = connection.display();
  const Atom property = XInternAtom(display, "RESOURCE_MANAGER", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, connection.root(), property, 0, kMaxResourceWords, False,
                         XA_STRING, &type, &format, &count, &after, &data) != Success) {
    return std::nullopt;
  }
  std::string text;
  if (data) {
    if (format == 8) text.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  std::istringstream lines(text);
  std::string line;
  std::optional<std::string> value;
  while (std::getline(lines, line)) {
    if (line.rfind(kXftDpi, 0) != 0) continue;
    std::string rest = line.substr(sizeof kXftDpi - 1);
    const std::size_t first = rest.find_first_not_of(" \t");
    value = first == std::string::npos ? std::string() : rest.substr(first);
  }
  return value;
}

bool write_xft_dpi(X11Connection& connection, const std::optional<std::string>& value) {
  Display* display = connection.display();
  const Atom property = XInternAtom(display, "RESOURCE_MANAGER", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string text;
  if (XGetWindowProperty(display, connection.root(), property, 0, kMaxResourceWords, False,
                         XA_STRING, &type, &format, &count, &after, &data) == Success &&
      data) {
    if (format == 8) text.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  std::istringstream lines(text);
  std::string line, rewritten;
  while (std::getline(lines, line)) {
    if (line.rfind(kXftDpi, 0) == 0) continue;
    rewritten += line + "\n";
  }
  if (value) rewritten += std::string(kXftDpi) + "\t" + *value + "\n";
  if (rewritten.empty()) {
    XDeleteProperty(display, connection.root(), property);
  } else {
    XChangeProperty(display, connection.root(), property, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(rewritten.data()),
                    static_cast<int>(rewritten.size()));
  }
  return connection.sync_errors() == 0 && !connection.broken();
}

int dpi_of(const std::optional<std::string>& value) {
  if (!value) return kBaseDpi;
  char* end = nullptr;
  const double dpi = std::strtod(value->c_str(), &end);
  if (end == value->c_str() || !(dpi > 0)) return kBaseDpi;
  return static_cast<int>(std::lround(dpi));
}

}  // namespace tolvi::platform
