#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/connection.h"
#include "core/host_environment.h"
#include "core/limits.h"
#include "platform/net.h"
#include "protocol/client_messages.h"
#include "video/client_config.h"
#include "video/stream_host.h"

namespace tolvi {

// Pauses a session keeps; tests shorten them.
struct SessionTimings {
  // After a wrong proof, so the sender can write the refusal before the socket closes.
  std::chrono::milliseconds failed_proof_pause = kFailedProofPause;
  // How the handshake waits (the verdict hold and the pause above); empty: real sleeping.
  std::function<void(std::chrono::milliseconds)> sleep;
};

// What the host server puts around one handshake: the limits on unauthenticated peers.
class HandshakeGuard {
 public:
  virtual ~HandshakeGuard() = default;
  // A line about the peer before it is authenticated; it may be left out when the peer's
  // address has logged too much.
  virtual void log_line(const std::string& line) = 0;
  // Before the proof is checked: waits while another proof from the same address has its
  // verdict held. false when the handshake was ended meanwhile.
  virtual bool wait_for_turn() = 0;
  // The proof is checked (right or wrong); how long to hold the verdict.
  virtual std::chrono::milliseconds proof_checked(bool right) = 0;
};

// One client connection and everything it owns. Members are built top to bottom and destroyed
// bottom to top: the connection is made first and goes last, after every subsystem that might
// still send through it. Created and destroyed by the connection's client thread.
class Session : public StreamHost, public ClientMessageHandler {
 public:
  Session(platform::Socket socket, HostEnvironment& environment, SessionTimings timings = {});
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Key agreement, sealing and password proof; true when the client is authenticated and both
  // directions are sealed. Runs on the client thread before anything else. Without a guard,
  // lines are logged as they come and verdicts are not held.
  bool handshake(HandshakeGuard* guard = nullptr);
  // True when the last handshake failed on a wrong proof (the case that counts as a guess).
  bool proof_was_wrong() const { return proof_was_wrong_; }

  // Serves the authenticated client until the connection ends, then winds everything down in
  // a fixed order. Runs on the client thread.
  void serve();
  // Body of the receive thread: reads and dispatches client messages until a read fails,
  // then closes the connection.
  void receive_loop();
  // Reads one client message and hands it to the subsystem that owns it (the methods below);
  // short payloads and unknown types are ignored.
  void dispatch(std::uint8_t type, const std::vector<std::uint8_t>& payload);

  // ClientMessageHandler, called by dispatch on the receive thread.
  void on_stream_config(const StreamConfigMessage& message) override;
  void on_clipboard_text(const std::vector<std::uint8_t>& text) override;
  void on_ping(const std::vector<std::uint8_t>& payload) override;
  void on_mouse_move(float x, float y) override;
  void on_mouse_button(std::uint8_t button, bool pressed) override;
  void on_mouse_wheel(float dx, float dy, bool flag) override;
  void on_key(std::uint16_t usage, bool pressed) override;
  void on_keyframe_request() override;
  void on_release_keys() override;
  void on_ctrl_alt_del() override;
  void on_folder_share(const std::vector<std::uint8_t>& payload) override;
  void on_folder_data(const std::vector<std::uint8_t>& payload) override;
  void on_folder_close(const std::vector<std::uint8_t>& payload) override;

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
  void pause(std::chrono::milliseconds duration);
  // The host has no password: says so once in the log and on the status.
  void refuse_without_password();
  // The connected-client status belongs to the session that set it last: a displaced session
  // ending after its successor authenticated must leave the successor's address in place.
  void claim_client_status();
  void release_client_status();

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

// The in-memory configuration for a StreamConfig message (scale = percent / 100).
ClientConfig client_config_from(const StreamConfigMessage& message);

}  // namespace tolvi
