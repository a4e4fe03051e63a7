#include "core/connection.h"

#include <algorithm>

#include "base/little_endian.h"
#include "base/log.h"
#include "base/thread_start.h"
#include "core/limits.h"
#include "protocol/message_types.h"

namespace tolvi {

Connection::Connection(platform::Socket socket)
    : congestion_limit(kInitialCongestionLimit), socket_(std::move(socket)) {
  socket_.set_no_delay(true);
  socket_.set_send_buffer(kSocketSendBufferBytes);
  // Without it the kernel holds up to the whole send buffer of shared-folder data ahead of
  // the next video frame; the main queue's priority is only as good as this bound.
  socket_.set_unsent_limit(kSessionUnsentBytes);
  peer_name_ = socket_.peer_name();
  sender_thread_ = start_thread([this] { sender_loop(); });
}

Connection::~Connection() {
  close();
  if (sender_thread_.joinable()) sender_thread_.join();
  receive_key_.reset();
  send_key_.reset();
}

void Connection::queue(std::deque<QueuedFrame>& target, std::uint64_t& count, std::uint8_t type,
                       const std::uint8_t* data, std::size_t length) {
  if (closed_.load()) return;
  // The length field carries the low 32 bits; the sender sets no limit of its own.
  QueuedFrame frame;
  const std::size_t capacity = kPlainHeaderBytes + length + RecordKey::kTagBytes;
  if (length >= kRecycledFrameMinBytes) {
    // A large buffer the sender has finished with: fresh ones cost a page fault per 4 KiB.
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = spare_frames_.begin(); it != spare_frames_.end(); ++it) {
      if (it->capacity() >= capacity) {
        frame.bytes = std::move(*it);
        spare_frames_.erase(it);
        break;
      }
    }
  }
  // reserve, not resize: the payload is written only once; the tag room is filled by sealing.
  frame.bytes.reserve(capacity);
  frame.bytes.resize(kPlainHeaderBytes);
  frame.bytes[0] = type;
  store_le<std::uint32_t>(frame.bytes.data() + 1, static_cast<std::uint32_t>(length));
  frame.bytes.insert(frame.bytes.end(), data, data + length);
  frame.outside_video = &target == &main_queue_ && type != code(MessageType::VideoFrame);
  enqueue(target, count, std::move(frame));
}

std::vector<std::uint8_t> Connection::bulk_frame(std::size_t payload_bytes) {
  std::vector<std::uint8_t> frame;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!spare_bulk_frames_.empty()) {
      frame = std::move(spare_bulk_frames_.back());
      spare_bulk_frames_.pop_back();
    }
  }
  // A reused buffer keeps its last size, so resizing it fills nothing in the common case.
  frame.reserve(kPlainHeaderBytes + payload_bytes + RecordKey::kTagBytes);
  frame.resize(kPlainHeaderBytes + payload_bytes);
  return frame;
}

void Connection::send_bulk_frame(std::uint8_t type, std::vector<std::uint8_t> frame,
                                 std::size_t payload_length) {
  if (closed_.load()) return;
  QueuedFrame queued;
  queued.bytes = std::move(frame);
  queued.from_bulk_frame = true;
  // Shrinks within the room bulk_frame made, which keeps space for the tag.
  queued.bytes.resize(kPlainHeaderBytes + payload_length);
  queued.bytes.reserve(kPlainHeaderBytes + payload_length + RecordKey::kTagBytes);
  queued.bytes[0] = type;
  store_le<std::uint32_t>(queued.bytes.data() + 1, static_cast<std::uint32_t>(payload_length));
  enqueue(bulk_queue_, bulk_queued_bytes_, std::move(queued));
}

void Connection::enqueue(std::deque<QueuedFrame>& target, std::uint64_t& count,
                         QueuedFrame frame) {
  const std::uint64_t bytes = frame.bytes.size();
  bool stopped_reading = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (frame.outside_video) {
      // Pongs and the like for a client that does not read would grow without end.
      stopped_reading = main_outside_video_bytes_ + bytes > kMaxMainBacklogBytes;
      if (!stopped_reading) main_outside_video_bytes_ += bytes;
    }
    if (!stopped_reading) {
      frame.sealed = seal_outgoing_;
      count += bytes;
      target.push_back(std::move(frame));
    }
  }
  if (stopped_reading) {
    if (!closed_.load()) log_message("%s: client stopped reading, closing", peer_name_.c_str());
    close();
    return;
  }
  send_ready_.notify_one();
}

void Connection::send(std::uint8_t type, const std::uint8_t* data, std::size_t length) {
  queue(main_queue_, main_queued_bytes_, type, data, length);
}

void Connection::send(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
  send(type, payload.data(), payload.size());
}

void Connection::send_bulk(std::uint8_t type, const std::uint8_t* data, std::size_t length) {
  queue(bulk_queue_, bulk_queued_bytes_, type, data, length);
}

void Connection::wait_bulk_below(std::uint64_t limit) {
  std::unique_lock<std::mutex> guard(lock_);
  bulk_space_.wait(guard, [&] { return bulk_queued_bytes_ <= limit || closed_.load(); });
}

bool Connection::wait_sent(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> guard(lock_);
  main_sent_.wait_for(guard, limit, [&] { return main_queued_bytes_ == 0 || closed_.load(); });
  return main_queued_bytes_ == 0;
}

std::uint64_t Connection::main_backlog() {
  std::lock_guard<std::mutex> guard(lock_);
  return main_queued_bytes_;
}

std::uint64_t Connection::bulk_backlog() {
  std::lock_guard<std::mutex> guard(lock_);
  return bulk_queued_bytes_;
}

void Connection::sender_loop() {
  std::vector<QueuedFrame> batch;
  batch.reserve(kMaxBatchFrames);
  platform::SendPart parts[kMaxBatchFrames];
  while (true) {
    // What the socket takes before a write would wait for the unsent limit. Only this thread
    // writes, so the room can only grow until the next write.
    const long unsent = socket_.unsent_bytes();
    const std::size_t bulk_room =
        unsent < 0 || unsent >= kSessionUnsentBytes
            ? 0
            : static_cast<std::size_t>(kSessionUnsentBytes - unsent);
    bool from_main = false;
    RecordKey* key = nullptr;
    {
      std::unique_lock<std::mutex> guard(lock_);
      send_ready_.wait(
          guard, [&] { return closed_.load() || !main_queue_.empty() || !bulk_queue_.empty(); });
      // Frames still queued when the connection closes are never sent.
      if (closed_.load()) return;
      from_main = !main_queue_.empty();
      std::deque<QueuedFrame>& source = from_main ? main_queue_ : bulk_queue_;
      // Frames already waiting go out together in one gathered write, in queue order: small
      // main-queue frames up to kMaxBatchBytes; bulk frames only as many as the socket takes
      // without waiting (at least one), so a main frame queued meanwhile still waits for at
      // most one bulk frame's write, as if they went one at a time.
      const std::size_t limit = from_main ? kMaxBatchBytes : bulk_room;
      std::size_t batch_bytes = 0;
      do {
        batch_bytes += source.front().bytes.size();
        batch.push_back(std::move(source.front()));
        source.pop_front();
      } while (!source.empty() && batch.size() < kMaxBatchFrames &&
               batch_bytes + source.front().bytes.size() <= limit);
      key = send_key_.get();
    }
    std::size_t ready = 0;
    bool sealed_all = true;
    for (QueuedFrame& frame : batch) {
      if (frame.sealed) {
        // The send key is replaced only by install_keys, which happens once; the sender alone
        // advances its counter. Sealed in place: the type moves behind the sealed length, the
        // payload stays where it is and the tag lands in the room reserved after it.
        const std::size_t frame_length = frame.bytes.size();
        const std::size_t record_length = frame_length - kSealedHeaderBytes;
        frame.bytes.resize(frame_length + RecordKey::kTagBytes);  // within capacity
        std::uint8_t* const out = frame.bytes.data();
        out[kSealedHeaderBytes] = out[0];
        if (!key ||
            !key->seal_in_place(out + kSealedHeaderBytes, record_length, out + frame_length)) {
          sealed_all = false;
          break;
        }
        store_le<std::uint32_t>(out,
                                static_cast<std::uint32_t>(record_length + RecordKey::kTagBytes));
      }
      parts[ready++] = {frame.bytes.data(), frame.bytes.size()};
    }
    // The frames sealed before a failed seal still go out, as they would one by one.
    const bool written = ready == 0 || socket_.send_all(parts, ready);
    if (!written || !sealed_all) {
      close();
      return;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      std::uint64_t bytes = 0;
      for (QueuedFrame& frame : batch) {
        // The plaintext frame size (5 + n), whichever form went out.
        const std::uint64_t plain = frame.bytes.size() - (frame.sealed ? RecordKey::kTagBytes : 0);
        bytes += plain;
        if (frame.outside_video) main_outside_video_bytes_ -= plain;
        if (frame.from_bulk_frame && spare_bulk_frames_.size() < kSpareBulkFrames &&
            frame.bytes.capacity() <= kRecycledFrameMinBytes) {
          spare_bulk_frames_.push_back(std::move(frame.bytes));
        } else if (frame.bytes.capacity() > kRecycledFrameMinBytes &&
            frame.bytes.capacity() <= kRecycledFrameMaxBytes &&
            spare_frames_.size() < kSpareRecords) {
          frame.bytes.clear();
          spare_frames_.push_back(std::move(frame.bytes));
        }
      }
      if (from_main) {
        main_queued_bytes_ -= bytes;
        main_sent_.notify_all();
      } else {
        bulk_queued_bytes_ -= bytes;
        bulk_space_.notify_all();
      }
    }
    batch.clear();
  }
}

long Connection::read_some(std::uint8_t* out, std::size_t length) {
  if (deadline_) {
    // Each read waits only for what is left of the time, rounded up (0 would mean for ever).
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) return platform::Socket::kTimedOut;
    socket_.set_receive_timeout_ms(static_cast<unsigned>(left.count()));
  }
  return socket_.receive_some(out, length);
}

bool Connection::read_exact(std::uint8_t* out, std::size_t length) {
  std::size_t have = 0;
  while (have < length) {
    const long n = read_some(out + have, length - have);
    if (n <= 0) return false;
    have += static_cast<std::size_t>(n);
  }
  return true;
}

bool Connection::read_growing(std::vector<std::uint8_t>& out, std::size_t length) {
  // The buffer grows with the bytes that arrived (at most doubling per step), so a peer that
  // announces a large frame and sends little costs little.
  out.clear();
  std::size_t have = 0;
  while (have < length) {
    const std::size_t target = std::min(length, std::max(kFirstReadChunkBytes, have * 2));
    out.resize(target);
    const long n = read_some(out.data() + have, target - have);
    if (n <= 0) {
      out.clear();
      return false;
    }
    have += static_cast<std::size_t>(n);
  }
  return true;
}

bool Connection::receive(std::uint8_t& type, std::vector<std::uint8_t>& payload) {
  if (!receive_key_) {
    std::uint8_t header[kPlainHeaderBytes];
    if (!read_exact(header, sizeof header)) return false;
    const std::uint32_t length = load_le<std::uint32_t>(header + 1);
    if (length > kMaxPayloadBytes || length > max_frame_bytes_) return false;
    if (!read_growing(payload, length)) return false;
    type = header[0];
    return true;
  }
  std::uint8_t header[kSealedHeaderBytes];
  if (!read_exact(header, sizeof header)) return false;
  const std::uint32_t length = load_le<std::uint32_t>(header);
  if (length < kMinSealedBytes || length > kMaxSealedBytes || length > max_frame_bytes_) {
    return false;
  }
  std::vector<std::uint8_t> record;
  if (!read_growing(record, length)) return false;
  if (!receive_key_->open(record.data(), record.size(), payload)) return false;
  type = payload[0];
  payload.erase(payload.begin());
  return true;
}

bool Connection::install_keys(const std::uint8_t host_to_client[RecordKey::kKeyBytes],
                              const std::uint8_t client_to_host[RecordKey::kKeyBytes]) {
  // Keys are installed once per connection: the sender keeps using the send key outside the
  // lock, so it must never be replaced.
  if (receive_key_) return false;
  auto receive_key = std::make_unique<RecordKey>(client_to_host);
  auto send_key = std::make_unique<RecordKey>(host_to_client);
  if (!receive_key->valid() || !send_key->valid()) return false;
  receive_key_ = std::move(receive_key);
  std::lock_guard<std::mutex> guard(lock_);
  send_key_ = std::move(send_key);
  seal_outgoing_ = true;
  return true;
}

void Connection::close() {
  if (closed_.exchange(true)) return;
  socket_.interrupt();
  std::lock_guard<std::mutex> guard(lock_);
  send_ready_.notify_all();
  bulk_space_.notify_all();
  main_sent_.notify_all();
}

bool Connection::set_receive_timeout(std::chrono::milliseconds timeout) {
  return socket_.set_receive_timeout_ms(static_cast<unsigned>(timeout.count()));
}

}  // namespace tolvi
