#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture.h"

struct pw_buffer;

namespace tolvi::platform {

// The pointer as the stream's metadata tells it.
struct StreamPointer {
  bool visible = false;
  std::int32_t x = 0;  // stream pixels of the hot spot
  std::int32_t y = 0;
  // A new shape: B, G, R, A rows of width x 4 bytes, straight alpha.
  bool shape_changed = false;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t hot_x = 0;
  std::int32_t hot_y = 0;
  std::vector<std::uint8_t> pixels;
};

// What arrived since the last take(): a new picture (with the part that changed, stream pixels)
// and pointer news.
struct StreamUpdate {
  bool picture = false;
  DesktopRect damage;
  bool pointer_changed = false;
  StreamPointer pointer;
};

// A PipeWire video stream of a node, read into memory: BGRx frames in shared memory, the
// changed regions and the pointer from the buffers' metadata. PipeWire's own thread receives
// the buffers; the newest picture is held (not given back to the producer) until the next one
// replaces it, so copying it needs no second copy. Used by one thread.
class PipeWireStream {
 public:
  // Connects to the node. Null with `error` when PipeWire cannot be reached.
  static std::unique_ptr<PipeWireStream> open(std::uint32_t node, std::string& error);
  ~PipeWireStream();
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  enum class Wait { kNews, kTimeout, kLost };
  // Waits up to timeout_ms for a picture or pointer news; kLost once the stream ended or failed.
  Wait wait(std::uint32_t timeout_ms);
  // Takes what arrived since the last take (false when nothing did).
  bool take(StreamUpdate& update);
  // The held picture's size (0 before the format is agreed).
  std::int32_t width() const;
  std::int32_t height() const;
  // Copies the rows and columns of `area` of the held picture into `image`, which must already
  // be width() x height(). False without a picture.
  bool copy_area(DesktopImage& image, const DesktopRect& area);

  struct State;

 private:
  PipeWireStream() = default;
  std::unique_ptr<State> state_;
};

}  // namespace tolvi::platform
