// Desktop capture on X11: the primary RandR output (or the whole screen, x11_output.cpp),
// grabbed through MIT-SHM (x11_shm_image.cpp), with XDamage telling when the picture changed
// and XFixes giving the pointer (x11_pointer.cpp).
#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "base/clock.h"
#include "platform/capture.h"
#include "platform/linux/x11_backends.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_output.h"
#include "platform/linux/x11_pointer.h"
#include "platform/linux/x11_shm_image.h"

namespace tolvi::platform {

namespace {

// Error codes for the capture loop's log lines (X has no numeric code of its own for these).
constexpr std::uint32_t kErrorConnectionBroken = 1;
constexpr std::uint32_t kErrorScreenChanged = 2;

class X11Duplication : public OutputDuplication {
 public:
  bool open(const std::string& display_name) {
    connection_ = X11Connection::open(display_name);
    if (!connection_) return false;
    Display* display = connection_->display();
    const Window root = connection_->root();
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    if (!XDamageQueryExtension(display, &damage_event_, &error_base)) return false;
    have_fixes_ = XFixesQueryExtension(display, &fixes_event_, &error_base);
    have_randr_ = XRRQueryExtension(display, &randr_event_, &error_base);
    Bool pixmaps = False;
    const bool have_shm = XShmQueryVersion(display, &major, &minor, &pixmaps);
    (void)event_base;

    // Listen for screen changes before reading the geometry: a change that lands between the
    // two would otherwise leave this duplication at the old size with no event to report it.
    if (have_randr_) XRRSelectInput(display, root, RRScreenChangeNotifyMask);
    rect_ = primary_output(display, root, have_randr_).rect;
    if (rect_.width() <= 0 || rect_.height() <= 0) return false;

    damage_ = XDamageCreate(display, root, XDamageReportNonEmpty);
    // The damaged area is taken into this region, so that only the rows it covers are grabbed.
    if (have_fixes_) damaged_region_ = XFixesCreateRegion(display, nullptr, 0);
    if (have_fixes_) XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
    if (have_shm && !shm_.create(*connection_, rect_.width(), rect_.height())) shm_.release();
    if (shm_.attached() && !is_bgrx(shm_.image())) return false;
    return connection_->sync_errors() == 0 && !connection_->broken();
  }

  ~X11Duplication() override {
    shm_.release();
    if (connection_ && !connection_->broken() && damage_) {
      XDamageDestroy(connection_->display(), damage_);
    }
    if (connection_ && !connection_->broken() && damaged_region_) {
      XFixesDestroyRegion(connection_->display(), damaged_region_);
    }
  }

  DesktopRect desktop_rect() const override { return rect_; }

  AcquireResult acquire_next_frame(std::uint32_t timeout_ms) override {
    AcquireResult result;
    if (connection_->broken()) return broken();
    Display* display = connection_->display();
    if (first_) {
      // Like a fresh duplication elsewhere: the current picture and pointer come first. What
      // is queued so far (creating the damage object reports the whole screen) is included;
      // only a screen change still counts.
      first_ = false;
      XSync(display, False);
      bool damaged = false, cursor_changed = false, screen_changed = false;
      take_events(damaged, cursor_changed, screen_changed);
      if (connection_->broken()) return broken();
      if (screen_changed) return access_lost();
      XDamageSubtract(display, damage_, None, None);
      result.status = AcquireStatus::kFrame;
      result.info.present = true;
      read_pointer(result.info);
      return connection_->broken() ? broken() : result;
    }

    bool damaged = false, cursor_changed = false, screen_changed = false;
    const std::uint64_t deadline = monotonic_us() + timeout_ms * 1000ull;
    for (;;) {
      take_events(damaged, cursor_changed, screen_changed);
      if (connection_->broken()) return broken();
      if (damaged || cursor_changed || screen_changed) break;
      const std::uint64_t now = monotonic_us();
      if (now >= deadline) break;
      pollfd wait{connection_->fd(), POLLIN, 0};
      const int ms = static_cast<int>((deadline - now + 999) / 1000);
      if (poll(&wait, 1, ms) < 0 && errno != EINTR) return broken();
    }

    if (screen_changed) return access_lost();
    if (!damaged && !cursor_changed) {
      result.status = AcquireStatus::kTimeout;
      return result;
    }
    result.status = AcquireStatus::kFrame;
    if (damaged) {
      // Re-arm before the grab: a change after this point brings another event.
      take_damage();
      result.info.present = true;
    }
    if (cursor_changed) read_pointer(result.info);
    return connection_->broken() ? broken() : result;
  }

  bool get_pointer_shape(std::span<std::uint8_t> buffer, PointerShapeInfo& info) override {
    return pointer_.copy_shape(buffer, info);
  }

  bool copy_frame_to(DesktopImage& image) override {
    if (connection_->broken()) return false;
    Display* display = connection_->display();
    if (shm_.attached()) return grab_shared(image);
    // No shared memory (a remote display): the slow way, through the socket.
    XImage* source = XGetImage(display, connection_->root(), rect_.left, rect_.top,
                               static_cast<unsigned>(rect_.width()),
                               static_cast<unsigned>(rect_.height()), AllPlanes, ZPixmap);
    if (!source) {
      connection_->sync_errors();
      return false;
    }
    if (!is_bgrx(source)) {
      XDestroyImage(source);
      return false;
    }
    image.resize(rect_.width(), rect_.height());
    copied_ = whole();
    pending_ = {};
    const std::size_t row_bytes = static_cast<std::size_t>(rect_.width()) * 4;
    for (std::int32_t y = 0; y < rect_.height(); ++y) {
      std::memcpy(image.row(y), source->data + static_cast<std::size_t>(y) * source->bytes_per_line,
                  row_bytes);
    }
    XDestroyImage(source);
    return true;
  }

  void release_frame() override {}

  DesktopRect copied_change() const override { return copied_; }

 private:
  DesktopRect whole() const { return {0, 0, rect_.width(), rect_.height()}; }

  // Moves the damage so far into the rows still to grab (output pixels) and re-arms.
  void take_damage() {
    Display* display = connection_->display();
    if (!damaged_region_) {
      XDamageSubtract(display, damage_, None, None);
      pending_ = whole();
      return;
    }
    XDamageSubtract(display, damage_, None, damaged_region_);
    int count = 0;
    XRectangle bounds{};
    XRectangle* rects = XFixesFetchRegionAndBounds(display, damaged_region_, &count, &bounds);
    if (rects) XFree(rects);
    if (count <= 0) return;
    const DesktopRect damage{
        std::clamp<std::int32_t>(bounds.x - rect_.left, 0, rect_.width()),
        std::clamp<std::int32_t>(bounds.y - rect_.top, 0, rect_.height()),
        std::clamp<std::int32_t>(bounds.x + bounds.width - rect_.left, 0, rect_.width()),
        std::clamp<std::int32_t>(bounds.y + bounds.height - rect_.top, 0, rect_.height())};
    if (damage.width() <= 0 || damage.height() <= 0) return;  // on another output
    if (pending_.width() <= 0 || pending_.height() <= 0) {
      pending_ = damage;
    } else {
      pending_ = {std::min(pending_.left, damage.left), std::min(pending_.top, damage.top),
                  std::max(pending_.right, damage.right), std::max(pending_.bottom, damage.bottom)};
    }
  }

  // The server writes the grab into the shared segment and the image is lent that segment
  // instead of a copy of it (8 MB a frame at 1080p). A segment another image still shows is
  // left to it: the grab goes to a fresh one.
  bool grab_shared(DesktopImage& image) {
    const std::shared_ptr<std::uint8_t>& mapping = shm_.mapping();
    // Only the damaged rows are grabbed when the image already shows this segment with the
    // previous grab in it; otherwise the whole output.
    bool whole_grab = !image.shows(mapping.get()) || !segment_complete_;
    const long holders = image.shows(mapping.get()) ? 2 : 1;
    if (mapping.use_count() > holders) {
      shm_.release();
      whole_grab = true;
      if (!shm_.create(*connection_, rect_.width(), rect_.height())) {
        shm_.release();
        return false;
      }
    }
    const DesktopRect rows = whole_grab ? whole() : pending_;
    XImage* source = shm_.image();
    segment_complete_ = false;
    if (rows.height() > 0 && !grab_rows(source, rows.top, rows.bottom)) {
      connection_->sync_errors();
      return false;
    }
    segment_complete_ = true;
    copied_ = rows.height() > 0 ? rows : DesktopRect{};
    pending_ = {};
    image.lend(std::shared_ptr<const std::uint8_t>(shm_.mapping(), shm_.mapping().get()),
               rect_.width(), rect_.height(), static_cast<std::size_t>(source->bytes_per_line));
    return true;
  }

  // Output rows [top, bottom) into the same rows of the segment: the server writes a grab
  // packed at the image's data, so the image is narrowed to the band for the request.
  bool grab_rows(XImage* source, std::int32_t top, std::int32_t bottom) {
    char* const data = source->data;
    const int height = source->height;
    source->data = data + static_cast<std::ptrdiff_t>(top) * source->bytes_per_line;
    source->height = bottom - top;
    const bool grabbed = XShmGetImage(connection_->display(), connection_->root(), source,
                                      rect_.left, rect_.top + top, AllPlanes);
    source->data = data;
    source->height = height;
    return grabbed && !connection_->broken();
  }

  // Everything Xlib has queued or can read without waiting.
  void take_events(bool& damaged, bool& cursor_changed, bool& screen_changed) {
    Display* display = connection_->display();
    while (!connection_->broken() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == damage_event_ + XDamageNotify) {
        damaged = true;
      } else if (have_fixes_ && event.type == fixes_event_ + XFixesCursorNotify) {
        cursor_changed = true;
      } else if (have_randr_ && event.type == randr_event_ + RRScreenChangeNotify) {
        XRRUpdateConfiguration(&event);
        screen_changed = true;
      }
    }
  }

  // The screen changed (size, outputs): this duplication is stale.
  static AcquireResult access_lost() {
    AcquireResult result;
    result.status = AcquireStatus::kAccessLost;
    result.error_code = kErrorScreenChanged;
    return result;
  }

  AcquireResult broken() const {
    AcquireResult result;
    result.status = AcquireStatus::kError;
    result.error_code = kErrorConnectionBroken;
    return result;
  }

  void read_pointer(FrameInfo& info) {
    if (have_fixes_) pointer_.read(connection_->display(), rect_, info);
  }

  std::unique_ptr<X11Connection> connection_;
  DesktopRect rect_;
  int damage_event_ = 0;
  int fixes_event_ = 0;
  int randr_event_ = 0;
  bool have_fixes_ = false;
  bool have_randr_ = false;
  Damage damage_ = 0;
  XserverRegion damaged_region_ = 0;
  DesktopRect pending_;            // damaged and not grabbed yet, output pixels
  DesktopRect copied_;             // what the last copy changed
  bool segment_complete_ = false;  // the segment holds the whole output as last grabbed
  ShmImage shm_;
  bool first_ = true;
  X11Pointer pointer_;
};

class X11CaptureDevice : public CaptureDevice {
 public:
  X11CaptureDevice(std::string display_name, std::string output_name)
      : display_name_(std::move(display_name)), output_name_(std::move(output_name)) {}

  std::string output_name() const override { return output_name_; }

  std::unique_ptr<OutputDuplication> open_duplication() override {
    auto duplication = std::make_unique<X11Duplication>();
    if (!duplication->open(display_name_)) return nullptr;
    return duplication;
  }

 private:
  std::string display_name_;
  std::string output_name_;
};

}  // namespace

std::unique_ptr<CaptureDevice> make_x11_capture_device(const std::string& display_name) {
  // Each duplication has its own connection, so that a broken one is simply replaced; this
  // one only checks that there is a desktop and names its output.
  std::unique_ptr<X11Connection> connection = X11Connection::open(display_name);
  if (!connection) return nullptr;
  int event_base = 0, error_base = 0;
  const bool have_randr = XRRQueryExtension(connection->display(), &event_base, &error_base);
  OutputChoice choice = primary_output(connection->display(), connection->root(), have_randr);
  if (connection->broken()) return nullptr;
  return std::make_unique<X11CaptureDevice>(display_name, std::move(choice.name));
}

}  // namespace tolvi::platform
