#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/connection.h"
#include "core/host_environment.h"
#include "core/limits.h"
#include "platform/net.h"
#include "video/client_config.h"
#include "video/stream_host.h"

namespace tolvi {

// Pauses a session keeps; tests shorten them.
struct SessionTimings {
  // After a wrong proof, so the sender can write the refusal before the socket closes.
  std::chrono::milliseconds failed_proof_pause = kFailedProofPause;
};

// One client connection and everything it owns. Members are built top to bottom and destroyed
// bottom to top: the connection is made first and goes last, after every subsystem that might
// still send through it. Created and destroyed by the connection's client thread.
class Session : public StreamHost {
 public:
  Session(platform::Socket socket, HostEnvironment& environment, SessionTimings timings = {});
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Key agreement, sealing and password proof; true when the client is authenticated and both
  // directions are sealed. Runs on the client thread before anything else.
  bool handshake();
  // True when the last handshake failed on a wrong proof (the case that counts as a guess).
  bool proof_was_wrong() const { return proof_was_wrong_; }

  // Serves the authenticated client until the connection ends, then winds everything down in
  // a fixed order. Runs on the client thread.
  void serve();
  // Body of the receive thread: reads and dispatches client messages until a read fails,
  // then closes the connection.
  void receive_loop();
  // Hands one client message to the subsystem that owns it; short payloads and unknown types
  // are ignored.
  void dispatch(std::uint8_t type, const std::vector<std::uint8_t>& payload);

  Connection& connection() { return connection_; }

  // StreamHost, for the capture loop: takes the pending configuration (true when there was
  // one), consumes the key-frame request, and reaches the connection.
  bool take_pending_config(ClientConfig& out) override;
  bool take_keyframe_request() override { return keyframe_requested_.exchange(false); }
  // The configuration the pipeline was last built for; client thread only.
  ClientConfig& current_config() override { return current_config_; }
  void set_input_target(const platform::DesktopRect& r) override {
    input_->set_target_rect(r.left, r.top, r.right, r.bottom);
  }
  void send_message(std::uint8_t type, const std::uint8_t* data, std::size_t length) override {
    connection_.send(type, data, length);
  }
  std::uint64_t main_backlog() override { return connection_.main_backlog(); }
  std::uint64_t congestion_limit() override { return connection_.congestion_limit.load(); }
  void set_congestion_limit(std::uint64_t bytes) override {
    connection_.congestion_limit.exchange(bytes);
  }
  void close_connection() override { connection_.close(); }
  bool connection_closed() override { return connection_.closed(); }

 private:
  HostEnvironment& environment_;
  SessionTimings timings_;
  bool proof_was_wrong_ = false;

  Connection connection_;
  std::unique_ptr<SharedFolder> shared_folder_;
  std::unique_ptr<InputInjector> input_;
  std::unique_ptr<ClipboardSync> clipboard_;
  std::unique_ptr<CaptureLoop> capture_;
  // Hand-over of StreamConfig from the receive thread to the capture loop.
  std::mutex config_lock_;
  ClientConfig pending_config_;
  ClientConfig current_config_;
  bool config_pending_ = false;
  std::atomic<bool> keyframe_requested_{false};
};

// StreamConfig payload: width (i32), height (i32), scale percent (u16), match (u8), codec
// mask (u8), fps (u16), max kbit/s (i32), little-endian; nothing when shorter than 18 bytes.
bool parse_stream_config(const std::vector<std::uint8_t>& payload, ClientConfig& out);

}  // namespace tolvi
