#include "video/encode_worker.h"

#include "base/thread_start.h"

namespace tolvi {

EncodeWorker::~EncodeWorker() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void EncodeWorker::start(Encoder& encoder, const platform::Nv12Image& picture,
                         std::uint64_t time_us) {
  {
    std::lock_guard guard(lock_);
    encoder_ = &encoder;
    picture_ = &picture;
    time_us_ = time_us;
    state_ = State::kStarted;
  }
  if (!thread_.joinable()) thread_ = start_thread([this] { work(); });
  changed_.notify_all();
}

std::optional<bool> EncodeWorker::collect(bool wait) {
  std::unique_lock guard(lock_);
  if (wait) changed_.wait(guard, [this] { return state_ != State::kStarted; });
  if (state_ != State::kDone) return std::nullopt;
  state_ = State::kIdle;
  encoder_ = nullptr;
  picture_ = nullptr;
  return accepted_;
}

void EncodeWorker::work() {
  std::unique_lock guard(lock_);
  for (;;) {
    changed_.wait(guard, [this] { return stopping_ || state_ == State::kStarted; });
    // A picture in hand is encoded even when stopping: the owner collects before it lets go.
    if (state_ != State::kStarted) return;
    Encoder* encoder = encoder_;
    const platform::Nv12Image* picture = picture_;
    const std::uint64_t time_us = time_us_;
    guard.unlock();
    const bool accepted = encoder->encode_frame(*picture, time_us);
    guard.lock();
    accepted_ = accepted;
    state_ = State::kDone;
    changed_.notify_all();
  }
}

}  // namespace tolvi
