#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/converter.h"
#include "video/encoder.h"

namespace tolvi {

// Encodes one picture at a time on a thread of its own, so that the capture loop captures and
// converts the next picture while the encoder works on this one. There is never more than one
// picture in its hands: the loop collects the result of one before it starts the next, so it
// waits (rather than queues) when the encoder is slower than the capture.
//
// The picture and the encoder are borrowed until the result is collected: the loop leaves that
// pool slot alone and keeps the encoder until then.
class EncodeWorker {
 public:
  EncodeWorker() = default;
  ~EncodeWorker();
  EncodeWorker(const EncodeWorker&) = delete;
  EncodeWorker& operator=(const EncodeWorker&) = delete;

  // Starts encoding `picture` with its frame time. The previous picture's result must have been
  // collected.
  void start(Encoder& encoder, const platform::Nv12Image& picture, std::uint64_t time_us);

  // The result of the picture started last (whether the encoder took it), once; nothing when
  // there is none, or, without `wait`, while it is still being encoded.
  std::optional<bool> collect(bool wait);

 private:
  enum class State { kIdle, kStarted, kDone };
  void work();

  std::mutex lock_;
  std::condition_variable changed_;
  State state_ = State::kIdle;
  bool stopping_ = false;
  Encoder* encoder_ = nullptr;
  const platform::Nv12Image* picture_ = nullptr;
  std::uint64_t time_us_ = 0;
  bool accepted_ = false;
  std::thread thread_;  // started with the first picture
};

}  // namespace tolvi
