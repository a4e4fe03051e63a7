// Desktop capture on GNOME/Wayland: the screen cast of mutter's remote-desktop session, read
// from PipeWire (pipewire_stream.cpp). Mutter says which regions changed and sends the pointer
// as metadata, so the picture never carries it.
#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "base/log.h"
#include "platform/linux/mutter_backends.h"
#include "platform/linux/mutter_remote_desktop.h"
#include "platform/linux/pipewire_stream.h"

namespace tolvi::platform {
namespace {

// Error codes for the capture loop's log lines.
constexpr std::uint32_t kErrorSessionClosed = 1;  // mutter ended the session (or left)
constexpr std::uint32_t kErrorStreamLost = 2;     // the PipeWire stream ended or failed
constexpr std::uint32_t kErrorSizeChanged = 3;    // the monitor has another size now
// How long opening waits for the format and the first picture.
constexpr std::uint32_t kFirstPictureLimitMs = 3000;
// "RecordMonitor" names the primary monitor.
constexpr const char* kOutputName = "primary";

// A failure to start is logged when it differs from the last one, not every 100 ms.
void log_start_failure(const std::string& error) {
  static std::mutex lock;
  static std::string last;
  std::lock_guard<std::mutex> guard(lock);
  if (error == last) return;
  last = error;
  log_message("wayland: mutter's screen cast cannot start: %s", error.c_str());
}

class MutterDuplication : public OutputDuplication {
 public:
  explicit MutterDuplication(std::shared_ptr<MutterRemoteDesktop> link) : link_(std::move(link)) {}

  bool open() {
    std::string error;
    const std::optional<MutterStream> stream = link_->stream(error);
    if (!stream) {
      log_start_failure(error);
      return false;
    }
    generation_ = stream->generation;
    pipewire_ = PipeWireStream::open(stream->node, error);
    if (!pipewire_) {
      log_start_failure(error);
      link_->end_session(generation_);
      return false;
    }
    // The first acquire hands out the current picture: wait for it here.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstPictureLimitMs);
    while (!first_.picture) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (pipewire_->wait(static_cast<std::uint32_t>(left.count())) ==
          PipeWireStream::Wait::kLost) {
        break;
      }
      StreamUpdate update;
      if (pipewire_->take(update)) merge(first_, update);
    }
    if (!first_.picture || pipewire_->width() <= 0 || pipewire_->height() <= 0) {
      log_start_failure("no picture came from the stream");
      pipewire_.reset();
      link_->end_session(generation_);
      return false;
    }
    rect_ = {0, 0, pipewire_->width(), pipewire_->height()};
    pending_ = whole();
    return true;
  }

  DesktopRect desktop_rect() const override { return rect_; }

  AcquireResult acquire_next_frame(std::uint32_t timeout_ms) override {
    AcquireResult result;
    if (link_->closed(generation_)) return lost(kErrorSessionClosed);
    StreamUpdate update;
    if (opening_) {
      opening_ = false;
      update = first_;
      update.picture = true;
    } else {
      const PipeWireStream::Wait waited = pipewire_->wait(timeout_ms);
      if (waited == PipeWireStream::Wait::kLost) {
        link_->end_session(generation_);
        return lost(kErrorStreamLost);
      }
      if (pipewire_->width() != rect_.width() || pipewire_->height() != rect_.height()) {
        return lost(kErrorSizeChanged);
      }
      if (!pipewire_->take(update)) {
        result.status = AcquireStatus::kTimeout;
        return result;
      }
    }
    result.status = AcquireStatus::kFrame;
    if (update.picture) {
      result.info.present = true;
      pending_ = united(pending_, update.damage);
    }
    if (update.pointer_changed) {
      result.info.pointer_updated = true;
      result.info.pointer_visible = update.pointer.visible;
      result.info.pointer_x = update.pointer.x;
      result.info.pointer_y = update.pointer.y;
      if (update.pointer.shape_changed && update.pointer.width > 0 && update.pointer.height > 0) {
        shape_ = std::move(update.pointer);
        result.info.pointer_shape_bytes = static_cast<std::uint32_t>(shape_.pixels.size());
      }
    }
    return result;
  }

  bool get_pointer_shape(std::span<std::uint8_t> buffer, PointerShapeInfo& info) override {
    if (shape_.pixels.empty() || buffer.size() < shape_.pixels.size()) return false;
    std::copy(shape_.pixels.begin(), shape_.pixels.end(), buffer.begin());
    info.type = PointerShapeType::kColor;
    info.width = static_cast<std::uint32_t>(shape_.width);
    info.height = static_cast<std::uint32_t>(shape_.height);
    info.pitch = static_cast<std::uint32_t>(shape_.width) * 4;
    info.hot_x = shape_.hot_x;
    info.hot_y = shape_.hot_y;
    return true;
  }

  // Only the changed area is copied into an image this duplication filled before; any other
  // image gets the whole picture.
  bool copy_frame_to(DesktopImage& image) override {
    DesktopRect area = pending_;
    if (image.width != rect_.width() || image.height != rect_.height() ||
        image.data() != last_image_) {
      image.resize(rect_.width(), rect_.height());
      area = whole();
    }
    if (!pipewire_->copy_area(image, area)) return false;
    last_image_ = image.data();
    copied_ = area;
    pending_ = {};
    return true;
  }

  DesktopRect copied_change() const override { return copied_; }

  void release_frame() override {}

 private:
  static DesktopRect united(const DesktopRect& a, const DesktopRect& b) {
    if (a.width() <= 0 || a.height() <= 0) return b;
    if (b.width() <= 0 || b.height() <= 0) return a;
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
            std::max(a.bottom, b.bottom)};
  }
  static void merge(StreamUpdate& into, StreamUpdate& update) {
    into.picture = into.picture || update.picture;
    if (update.pointer_changed) {
      const bool shape = into.pointer.shape_changed || update.pointer.shape_changed;
      if (update.pointer.shape_changed) {
        into.pointer = std::move(update.pointer);
      } else {
        into.pointer.visible = update.pointer.visible;
        into.pointer.x = update.pointer.x;
        into.pointer.y = update.pointer.y;
      }
      into.pointer.shape_changed = shape;
      into.pointer_changed = true;
    }
  }
  DesktopRect whole() const { return {0, 0, rect_.width(), rect_.height()}; }
  static AcquireResult lost(std::uint32_t code) {
    AcquireResult result;
    result.status = AcquireStatus::kAccessLost;
    result.error_code = code;
    return result;
  }

  std::shared_ptr<MutterRemoteDesktop> link_;
  std::uint64_t generation_ = 0;
  std::unique_ptr<PipeWireStream> pipewire_;
  DesktopRect rect_;
  StreamUpdate first_;  // what came while opening
  bool opening_ = true;
  DesktopRect pending_;  // changed and not yet copied, stream pixels
  DesktopRect copied_;
  const std::uint8_t* last_image_ = nullptr;
  StreamPointer shape_;
};

class MutterCaptureDevice : public CaptureDevice {
 public:
  explicit MutterCaptureDevice(std::shared_ptr<MutterRemoteDesktop> link)
      : link_(std::move(link)) {}
  std::string output_name() const override { return kOutputName; }
  std::unique_ptr<OutputDuplication> open_duplication() override {
    auto duplication = std::make_unique<MutterDuplication>(link_);
    if (!duplication->open()) return nullptr;
    return duplication;
  }

 private:
  std::shared_ptr<MutterRemoteDesktop> link_;
};

}  // namespace

std::unique_ptr<CaptureDevice> make_mutter_capture_device() {
  std::shared_ptr<MutterRemoteDesktop> link = MutterRemoteDesktop::shared();
  if (!link) return nullptr;
  return std::make_unique<MutterCaptureDevice>(std::move(link));
}

}  // namespace tolvi::platform
