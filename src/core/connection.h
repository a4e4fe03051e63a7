#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crypto/record_key.h"
#include "platform/net.h"

namespace tolvi {

// The transport of one session: frames in and out of one socket, two outgoing queues drained
// by one sender thread, and the record keys once the handshake installed them.
//
// Frames on the wire (integers little-endian):
//   plaintext: type (1) | payload length n (4) | payload (n)
//   sealed:    sealed length L = n + 17 (4) | AES-GCM(type | payload) (n + 1) | tag (16)
// A direction switches to the sealed form when keys are installed; there is no way back.
class Connection {
 public:
  explicit Connection(platform::Socket socket);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Queue one message on the main queue (send) or the bulk queue (send_bulk, shared-folder
  // data and close). Dropped silently once the connection is closed. Any thread.
  void send(std::uint8_t type, const std::uint8_t* data, std::size_t length);
  void send(std::uint8_t type, const std::vector<std::uint8_t>& payload);
  void send_bulk(std::uint8_t type, const std::uint8_t* data, std::size_t length);
  // A bulk frame to fill in place, with room for `payload_bytes` of payload at
  // kPlainHeaderBytes: a producer reads its payload straight into it and queues it with
  // send_bulk_frame, one copy less than send_bulk. A buffer the sender has finished with is
  // reused when there is one. Any thread.
  std::vector<std::uint8_t> bulk_frame(std::size_t payload_bytes);
  // Queues a frame from bulk_frame whose first `payload_length` payload bytes (at most the
  // `payload_bytes` it was made for) are filled.
  void send_bulk_frame(std::uint8_t type, std::vector<std::uint8_t> frame,
                       std::size_t payload_length);
  // Blocks until the bulk backlog is at most `limit` bytes or the connection is closed.
  void wait_bulk_below(std::uint64_t limit);
  // Blocks until every frame queued by send() so far has been written to the socket, the
  // connection is closed, or `limit` has passed; true when all was written. Closing drops
  // what is still queued, so a last reply is waited for before the connection goes away.
  bool wait_sent(std::chrono::milliseconds limit);

  // Reads one whole message; false on any failure (closed, timed out, bad frame, bad record).
  // One reader at a time.
  bool receive(std::uint8_t& type, std::vector<std::uint8_t>& payload);

  // Each key is 16 bytes. false, and nothing changed, when either key cannot be created.
  // Frames queued before this call still go out in plaintext.
  bool install_keys(const std::uint8_t host_to_client[RecordKey::kKeyBytes],
                    const std::uint8_t client_to_host[RecordKey::kKeyBytes]);

  // Idempotent, any thread: wakes blocked reads, the sender and bulk producers.
  void close();
  bool closed() const { return closed_.load(); }

  // Bytes of plaintext frames (5 + n each) queued or in flight.
  std::uint64_t main_backlog();
  std::uint64_t bulk_backlog();

  // 0: wait for ever.
  bool set_receive_timeout(std::chrono::milliseconds timeout);
  // Until the handshake is over: every read ends at this time, however the bytes trickle in.
  // Nothing: reads wait as the receive timeout says. Reading thread only.
  void set_receive_deadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
    deadline_ = deadline;
  }
  // The longest frame (payload, or sealed record) receive() accepts; a longer announcement
  // fails at once, before any of it is read. Reading thread only.
  void set_max_frame_bytes(std::uint32_t bytes) { max_frame_bytes_ = bytes; }
  const std::string& peer_name() const { return peer_name_; }

  // Main-queue backlog above which the capture loop skips frames.
  std::atomic<std::uint64_t> congestion_limit;

 private:
  // The plaintext frame (type, payload length, payload), with capacity for a tag after it so
  // the sender can seal in place: the sealed frame is the same bytes with the type moved
  // behind a 4-byte sealed length, the payload staying at offset 5.
  struct QueuedFrame {
    std::vector<std::uint8_t> bytes;
    bool sealed = false;
    bool outside_video = false;  // counted in main_outside_video_bytes_
    bool from_bulk_frame = false;  // a buffer from bulk_frame, kept for the next one
  };

  void queue(std::deque<QueuedFrame>& target, std::uint64_t& count, std::uint8_t type,
             const std::uint8_t* data, std::size_t length);
  // Queues a frame whose header is written and whose capacity has room for the tag.
  void enqueue(std::deque<QueuedFrame>& target, std::uint64_t& count, QueuedFrame frame);
  void sender_loop();
  long read_some(std::uint8_t* out, std::size_t length);
  bool read_exact(std::uint8_t* out, std::size_t length);
  bool read_growing(std::vector<std::uint8_t>& out, std::size_t length);

  std::string peer_name_;
  platform::Socket socket_;
  std::mutex lock_;
  std::condition_variable send_ready_;
  std::deque<QueuedFrame> main_queue_;
  std::deque<QueuedFrame> bulk_queue_;
  std::uint64_t bulk_queued_bytes_ = 0;
  std::condition_variable bulk_space_;
  std::condition_variable main_sent_;
  bool seal_outgoing_ = false;
  std::unique_ptr<RecordKey> send_key_;
  std::unique_ptr<RecordKey> receive_key_;
  std::uint64_t main_queued_bytes_ = 0;
  // The part of main_queued_bytes_ that is not video (which the capture loop bounds itself).
  std::uint64_t main_outside_video_bytes_ = 0;
  std::atomic<bool> closed_{false};
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  std::uint32_t max_frame_bytes_ = 0xffffffff;
  // Large frame buffers the sender has written, kept for the next large frame (lock held).
  std::vector<std::vector<std::uint8_t>> spare_frames_;
  // Bulk frame buffers the sender has written, kept (with their size) for bulk_frame.
  std::vector<std::vector<std::uint8_t>> spare_bulk_frames_;
  std::thread sender_thread_;
};

}  // namespace tolvi
