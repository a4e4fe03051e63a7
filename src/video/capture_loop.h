#pragma once
#include <cstdint>
#include <optional>

namespace tolvi {

// The encoder's and the capture loop's counters, logged when a session ends.
struct CaptureStats {
  std::int32_t frames_in = 0;
  std::int32_t frames_out = 0;
  std::int32_t need_more_input = 0;
  std::uint32_t congested_skips = 0;
  std::uint32_t conversions = 0;
  std::uint32_t encode_rejects = 0;
};

// A session's capture and encoding resources and the loop that drives them. Made per session
// (with a reference to it) and used only by the session's client thread.
class CaptureLoop {
 public:
  virtual ~CaptureLoop() = default;
  // Sets up the graphics device for capture; false when that is impossible.
  virtual bool init_capture_device() = 0;
  // Runs until the session's connection is closed, or closes it itself when the pipeline
  // cannot go on.
  virtual void run() = 0;
  // The counters while an encoder exists; nothing when none was ever made.
  virtual std::optional<CaptureStats> encoder_stats() const = 0;
  virtual void destroy_encoder() = 0;
};

}  // namespace tolvi
