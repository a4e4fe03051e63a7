#pragma once
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/run_mode.h"
#include "display/display_controller.h"
#include "platform/capture.h"
#include "platform/converter.h"
#include "platform/encoder.h"
#include "protocol/host_messages.h"
#include "video/capture_loop.h"
#include "video/cursor_image.h"
#include "video/encode_worker.h"
#include "video/encoder.h"
#include "video/stream_config.h"
#include "video/stream_host.h"

namespace tolvi {

// Loop timings, in milliseconds.
constexpr std::uint32_t kIdleTurnMs = 5;            // no encoder yet
constexpr std::uint32_t kReopenPauseMs = 100;       // a duplication could not be opened
constexpr std::uint32_t kAcquireErrorPauseMs = 50;  // an acquire failed other than by time-out
constexpr std::uint32_t kModeChangeSettleMs = 400;  // after the display mode was switched
constexpr int kDuplicationAttempts = 50;
constexpr std::uint32_t kMaxAcquireTimeoutMs = 16;
constexpr std::uint64_t kShortWaitUs = 15000;  // below this the wait is cut to the due time
// Re-encodes of an unchanged picture, after the last change.
constexpr int kRefreshEncodes = 2;
constexpr std::uint64_t kFirstRefreshUs = 150000;
constexpr std::uint64_t kLastRefreshUs = 500000;
constexpr std::uint32_t kLoggedConvertFailures = 3;
constexpr std::size_t kNv12PoolSlots = 4;
// Failed reopens of the duplication (kReopenPauseMs apart) after which the capture device is
// set up anew, as when it reports itself lost: a monitor plugged out and in again, or a graphics
// reset the device did not notice, leaves the old device unable to duplicate for good.
constexpr int kReopensBeforeNewDevice = 20;

// Where the pipeline's platform parts come from; tests hand in fakes and a fake clock.
struct CapturePlatform {
  // Null when there is no desktop to capture.
  std::function<std::unique_ptr<platform::CaptureDevice>()> make_capture_device;
  // Null when the platform has no converter.
  std::function<std::unique_ptr<platform::VideoConverter>()> make_converter;
  // Null when there are no encoders.
  std::function<std::shared_ptr<platform::EncoderCatalogue>()> make_encoder_catalogue;
  // The "AllowResolutionChange" setting.
  std::function<bool()> allow_resolution_change;
  // Attaches the calling thread to the desktop that has the input. In Agent run mode it runs
  // before every (re)creation of the duplication: a thread can duplicate only the desktop it
  // is attached to, and the sign-in, lock and elevation screens are on another desktop than
  // the user's programs. Null: the thread stays where it is.
  std::function<void()> follow_input_desktop;
  Clock* clock = nullptr;  // null: the system clock
};

// A session's capture and encoding resources and the capture loop: takes the client's stream
// configurations, keeps a duplication of the primary output open, paces dirty pictures to the
// stream's frame rate, holds them back while the connection is congested, converts and encodes
// them, re-encodes a still picture twice, honours key-frame requests and turns pointer changes
// into CursorShape messages. Everything here runs on the session's client thread, except the
// frame sink, which the encoder may call from its own thread, and the encoding of pictures in
// memory by a synchronous encoder, which runs on the encode worker's thread beside the capture
// and conversion of the next picture.
class CapturePipeline : public CaptureLoop {
 public:
  CapturePipeline(StreamHost& host, DisplayController& display, CapturePlatform platform);
  ~CapturePipeline() override;

  // CaptureLoop.
  bool init_capture_device() override;
  void run() override;
  std::optional<CaptureStats> encoder_stats() const override;
  void destroy_encoder() override;

  // (Re)builds the whole pipeline for `config` and tells the client with StreamInfo; false
  // when the session cannot go on.
  bool reconfigure(const ClientConfig& config);
  // (Re)opens the duplication and records the desktop rectangle.
  bool open_duplication();
  std::uint32_t capture_device_rebuilds() const { return capture_device_rebuilds_; }

  // For tests.
  StreamSize stream() const { return stream_; }
  std::int32_t fps() const { return stream_fps_; }
  std::uint32_t congested_skips() const { return congested_skips_; }
  std::uint32_t conversions() const { return conversions_; }
  std::uint32_t encode_rejects() const { return encode_rejects_; }
  const std::vector<std::uint8_t>& cursor_shape_cache() const { return cursor_shape_cache_; }

 private:
  // Variables of one run of the loop.
  struct LoopState {
    bool dirty = false;
    int refresh_count = 0;
    std::uint64_t last_capture_us = 0;
    std::uint64_t last_encode_us = 0;
    std::size_t pool_index = 0;
    bool cursor_visible = true;
  };
  enum class Turn { kGoOn, kStop };

  Turn turn(LoopState& loop);
  // After a failed reopen: when the capture device is lost or has failed too many reopens, a
  // new one replaces it, and the converter and encoder are rebuilt once a duplication opens.
  void recover_capture_device();
  // Logs a platform problem the first time this pipeline meets it.
  void log_problem_once(const char* what, const platform::PlatformProblem& problem);
  void update_pointer(LoopState& loop, const platform::FrameInfo& info);
  // Hands the converted slot to the encoder: to the worker when the encoder is synchronous and
  // the picture in memory, otherwise here. True when it was taken (or handed to the worker).
  bool encode(const platform::Nv12Image& slot, std::uint64_t now);
  // Takes the worker's result for the picture handed last (waiting for it with `wait`). A
  // refused picture counts as a rejection and makes the current picture due again, all of it
  // changed as far as the encoder knows.
  void settle_encode(LoopState& loop, bool wait);
  // Waits for the worker and forgets its result: before the pool or the encoder changes.
  void finish_encode();
  // Every slot must be converted whole (the desktop image is new or unknown).
  void all_stale();
  platform::DesktopRect whole_desktop() const {
    return {0, 0, desktop_image_.width, desktop_image_.height};
  }
  void send(std::uint8_t type, const std::vector<std::uint8_t>& payload);
  void send_frame(const std::uint8_t* data, std::uint64_t size, bool keyframe,
                  std::uint64_t time_us);

  StreamHost& host_;
  DisplayController& display_;
  CapturePlatform platform_;
  Clock& clock_;

  // Declared in the order of building; destroyed newest first: the encoder (whose threads call
  // the sink) before the pictures, the duplication before its device.
  std::unique_ptr<platform::CaptureDevice> capture_device_;
  std::unique_ptr<platform::OutputDuplication> duplication_;
  platform::DesktopRect desktop_rect_;
  StreamSize stream_{kMinStreamSide, kMinStreamSide};
  std::int32_t stream_fps_ = 60;
  platform::DesktopImage desktop_image_;
  std::array<platform::Nv12Image, kNv12PoolSlots> nv12_pool_;
  // Per slot: the area of desktop_image_ that changed since the slot was converted into, so
  // that only that area is converted again.
  std::array<platform::DesktopRect, kNv12PoolSlots> stale_;
  // What changed in desktop_image_ since the last encoded frame (empty: nothing); unset when
  // unknown. Passed on with 1:1 frames so the encoder can skip what stayed the same.
  std::optional<platform::DesktopRect> unencoded_change_;
  std::unique_ptr<platform::VideoConverter> converter_;
  std::unique_ptr<Encoder> encoder_;
  // After the encoder: stopped before it goes.
  EncodeWorker encode_worker_;
  bool first_frame_seen_ = false;
  std::vector<std::uint8_t> cursor_shape_cache_;
  std::vector<std::uint8_t> shape_buffer_;
  std::uint32_t congested_skips_ = 0;
  std::uint32_t conversions_ = 0;
  std::uint32_t encode_rejects_ = 0;
  int failed_reopens_ = 0;
  bool rebuild_after_reopen_ = false;  // a new capture device: new converter and encoder too
  std::uint32_t capture_device_rebuilds_ = 0;
  std::set<std::pair<std::uint32_t, std::string>> logged_problems_;
};

}  // namespace tolvi
