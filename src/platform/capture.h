#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tolvi::platform {

// Desktop capture of the primary output: a capture device picks the output once per session,
// and output duplications (opened, lost and reopened by the capture loop) hand out its frames.
// The capture loop's pacing, refresh, congestion and pointer-image rules are not here; this is
// only what the platform can tell about the desktop. Nothing here logs.

// A rectangle in desktop (virtual-screen) pixels; right and bottom are exclusive.
struct DesktopRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
  std::int32_t width() const { return right - left; }
  std::int32_t height() const { return bottom - top; }
  bool operator==(const DesktopRect&) const = default;
};

// A picture kept on the graphics adapter: the backend's own object, handed between one
// platform's capture, conversion and encoding backends without the portable code looking
// inside. Backends that work in memory never make one.
class GpuPicture {
 public:
  virtual ~GpuPicture() = default;
};

// The desktop picture in memory: 32-bit pixels B, G, R, x (the fourth byte is undefined, often
// 0), rows top to bottom, `stride` bytes apart. The pixels are either the image's own (resize)
// or, to save copying a whole frame, memory a capture backend lends (lend): the backend writes
// it only when it captures into this same image again, and frees it only when the image lets it
// go. A capture backend that keeps the picture on the graphics adapter shows it there
// instead (show_on_adapter): then there are no pixels in memory, and only that platform's
// converter reads the picture. The size fields are for reading; resize, lend and
// show_on_adapter set them.
struct DesktopImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::size_t stride = 0;
  // Set while the picture is on the adapter (show_on_adapter); resize and lend clear it.
  std::shared_ptr<const GpuPicture> on_adapter;

  // Sizes the image for width x height with a packed stride of its own; the contents are
  // unspecified.
  void resize(std::int32_t new_width, std::int32_t new_height) {
    lent_.reset();
    on_adapter.reset();
    width = new_width;
    height = new_height;
    stride = static_cast<std::size_t>(new_width) * 4;
    pixels_.resize(stride * static_cast<std::size_t>(new_height));
  }
  // Shows `memory` (height rows, `row_stride` bytes apart) instead of pixels of its own, which
  // are given up meanwhile.
  void lend(std::shared_ptr<const std::uint8_t> memory, std::int32_t new_width,
            std::int32_t new_height, std::size_t row_stride) {
    lent_ = std::move(memory);
    on_adapter.reset();
    width = new_width;
    height = new_height;
    stride = row_stride;
    std::vector<std::uint8_t>().swap(pixels_);
  }
  // Shows `picture`, width x height desktop pixels on the graphics adapter; the pixels in
  // memory are given up (there are none until resize or lend).
  void show_on_adapter(std::shared_ptr<const GpuPicture> picture, std::int32_t new_width,
                       std::int32_t new_height) {
    lent_.reset();
    std::vector<std::uint8_t>().swap(pixels_);
    on_adapter = std::move(picture);
    width = new_width;
    height = new_height;
    stride = 0;
  }
  // True when the image shows memory lent from `memory`.
  bool shows(const void* memory) const { return lent_ && lent_.get() == memory; }

  const std::uint8_t* data() const { return lent_ ? lent_.get() : pixels_.data(); }
  // Writing makes the pixels the image's own first (a copy of lent ones).
  std::uint8_t* row(std::int32_t y) {
    if (lent_) {
      pixels_.assign(lent_.get(), lent_.get() + stride * static_cast<std::size_t>(height));
      lent_.reset();
    }
    return pixels_.data() + stride * static_cast<std::size_t>(y);
  }
  const std::uint8_t* row(std::int32_t y) const {
    return data() + stride * static_cast<std::size_t>(y);
  }

 private:
  std::vector<std::uint8_t> pixels_;
  std::shared_ptr<const std::uint8_t> lent_;
};

enum class AcquireStatus {
  kFrame,       // a frame was acquired; release it with release_frame()
  kTimeout,     // nothing changed within the time-out
  kAccessLost,  // the duplication is stale (mode change, desktop switch): open a new one
  kError,       // anything else (e.g. the display connection is gone): open a new one later
};

// What one acquired frame brings. A frame may bring a new picture, pointer news, or both.
struct FrameInfo {
  bool present = false;          // the picture changed: copy_frame_to() gives the new one
  bool pointer_updated = false;  // position, visibility or shape of the pointer changed
  bool pointer_visible = false;  // valid when pointer_updated
  std::int32_t pointer_x = 0;    // desktop pixels, valid when pointer_updated
  std::int32_t pointer_y = 0;
  // Bytes get_pointer_shape() needs for a new pointer shape; 0 when the shape did not change.
  std::uint32_t pointer_shape_bytes = 0;
};

struct AcquireResult {
  AcquireStatus status = AcquireStatus::kError;
  std::uint32_t error_code = 0;  // the platform's code for kAccessLost and kError, for the log
  FrameInfo info;
};

// Why a platform call failed: the platform's own code and, where the backend knows it, what
// that code means for the person reading the log. code 0: nothing failed (or nothing to say).
struct PlatformProblem {
  std::uint32_t code = 0;
  std::string meaning;
  bool operator==(const PlatformProblem&) const = default;
};

enum class PointerShapeType : std::uint32_t {
  // 1 bit per pixel: an AND mask of `height / 2` rows followed by an XOR mask of as many rows.
  kMonochrome = 1,
  // B, G, R, A per pixel, straight alpha.
  kColor = 2,
  // B, G, R, M per pixel: M = 0 replaces the screen pixel, M != 0 XORs with it.
  kMaskedColor = 4,
};

struct PointerShapeInfo {
  PointerShapeType type = PointerShapeType::kColor;
  std::uint32_t width = 0;
  std::uint32_t height = 0;  // for kMonochrome: twice the pointer's height (both masks)
  std::uint32_t pitch = 0;   // bytes per row in the shape buffer
  std::int32_t hot_x = 0;
  std::int32_t hot_y = 0;
};

// One duplication of the primary output. Used by one thread at a time.
class OutputDuplication {
 public:
  virtual ~OutputDuplication() = default;

  // The output's rectangle as recorded when this duplication was opened.
  virtual DesktopRect desktop_rect() const = 0;

  // Waits up to timeout_ms for the next frame. The first acquire after opening always delivers
  // the current picture (present set), even when nothing changed. After kFrame the caller calls
  // release_frame() before acquiring again.
  virtual AcquireResult acquire_next_frame(std::uint32_t timeout_ms) = 0;

  // The pointer shape of the acquired frame into buffer (at least pointer_shape_bytes long).
  virtual bool get_pointer_shape(std::span<std::uint8_t> buffer, PointerShapeInfo& info) = 0;

  // The acquired frame's picture into image, which is resized to the desktop rectangle's size
  // when it differs. False when the picture could not be read.
  virtual bool copy_frame_to(DesktopImage& image) = 0;

  // The part of the image the last successful copy_frame_to() may have changed, in image pixels
  // (0, 0 is the output's top left corner; clip to the image). Outside it, the image is as the
  // copy before left it. A backend that cannot tell says everything.
  virtual DesktopRect copied_change() const {
    constexpr std::int32_t kAll = std::numeric_limits<std::int32_t>::max();
    return {0, 0, kAll, kAll};
  }

  virtual void release_frame() = 0;

  // Why the last copy_frame_to() failed (e.g. a surface format the image cannot hold); code 0
  // when it did not fail or the backend cannot tell.
  virtual PlatformProblem copy_problem() const { return {}; }

  // What a person judging this machine wants to know about the duplicated picture (surface
  // format, rotation, high dynamic range), one fact a line; empty when the backend has nothing
  // to add. Valid after the first acquired frame.
  virtual std::vector<std::string> facts() const { return {}; }
};

// The primary output of the desktop and what is needed to duplicate it.
class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;

  // The output's name for display-mode changes (an X output name, a GDI device name).
  virtual std::string output_name() const = 0;

  // A new duplication of the primary output; null when it cannot be made now (the caller
  // retries later).
  virtual std::unique_ptr<OutputDuplication> open_duplication() = 0;

  // Why the last open_duplication() returned null; code 0 when it did not or the backend
  // cannot tell.
  virtual PlatformProblem open_problem() const { return {}; }

  // True once the device itself is gone (the graphics driver was updated or reset, the adapter
  // removed): no duplication will open on it again, and whatever was built on it (conversion,
  // encoding) must be built anew on a new capture device.
  virtual bool lost() const { return false; }

  // What a person judging this machine wants to know about the capture device (the adapter,
  // the output), one fact a line; empty when the backend has nothing to add.
  virtual std::vector<std::string> facts() const { return {}; }
};

// Chooses the primary output of `display_name` (the X display on Linux, "" for $DISPLAY;
// ignored on Windows). Null when there is no desktop to capture.
std::unique_ptr<CaptureDevice> make_capture_device(const std::string& display_name);

// Why the session's desktop is of a kind this build cannot serve, as the status shows it; ""
// when it is one it serves (whether it can be reached right now or not).
std::string desktop_support_problem();

}  // namespace tolvi::platform
