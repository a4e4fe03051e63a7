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

namespace tolvi {

// Pauses a session keeps; tests shorten them.
struct SessionTimings {
  // After a wrong proof, so the sender can write the refusal before the socket closes.
  std::chrono::milliseconds failed_proof_pause = kFailedProofPause;
};

// One client connection and everything it owns. Members are built top to bottom and destroyed
// bottom to top: the connection is made first and goes last, after every subsystem that might
// still send through it. Created and destroyed by the connection's client thread.
class Session {
 public:
  Session(platform::Socket socket, HostEnvironment& environment, SessionTimings timings = {});
  ~Session();
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

  // For the capture loop: takes the pending configuration (true when there was one) and
  // consumes the key-frame request.
  bool take_pending_config(ClientConfig& out);
  bool take_keyframe_request() { return keyframe_requested_.exchange(false); }
  // The configuration the pipeline was last built for; client thread only.
  ClientConfig& current_config() { return current_config_; }

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
