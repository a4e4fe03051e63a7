#include "core/session.h"

#include <mutex>
#include <thread>

#include "base/log.h"
#include "base/thread_start.h"
#include "protocol/host_messages.h"
#include "protocol/message_types.h"

namespace tolvi {

// The session whose client the status shows; compared, never followed. Lock order: this lock
// before the status observer's own.
namespace {
std::mutex client_status_lock;
const Session* client_status_owner = nullptr;
}  // namespace

ClientConfig client_config_from(const StreamConfigMessage& m) {
  ClientConfig out;
  out.width = m.width;
  out.height = m.height;
  out.scale = m.scale_percent / 100.0;
  out.match_resolution = m.match_resolution;
  out.codec_mask = m.codec_mask;
  out.fps = m.fps;
  out.max_kbps = m.max_kbps;
  return out;
}

Session::Session(platform::Socket socket, HostEnvironment& environment, SessionTimings timings)
    : environment_(environment),
      timings_(timings),
      connection_(std::move(socket)),
      shared_folder_(environment.make_shared_folder(*this)),
      input_(environment.make_input_injector()),
      clipboard_(environment.make_clipboard_sync()),
      capture_(environment.make_capture_loop(*this)) {}

Session::~Session() {
  std::lock_guard<std::mutex> guard(client_status_lock);
  if (client_status_owner == this) client_status_owner = nullptr;
}

void Session::claim_client_status() {
  std::lock_guard<std::mutex> guard(client_status_lock);
  client_status_owner = this;
  environment_.status_observer().on_client_authenticated(connection_.peer_name());
}

void Session::release_client_status() {
  std::lock_guard<std::mutex> guard(client_status_lock);
  if (client_status_owner != this) return;
  client_status_owner = nullptr;
  environment_.status_observer().on_client_gone();
}

void Session::pause(std::chrono::milliseconds duration) {
  if (duration <= std::chrono::milliseconds::zero()) return;
  if (timings_.sleep) {
    timings_.sleep(duration);
  } else {
    std::this_thread::sleep_for(duration);
  }
}

bool Session::take_pending_config(ClientConfig& out) {
  std::lock_guard<std::mutex> guard(config_lock_);
  if (!config_pending_) return false;
  out = pending_config_;
  config_pending_ = false;
  return true;
}

void Session::serve() {
  const std::string& name = connection_.peer_name();
  if (!capture_->init_capture_device()) {
    log_message("D3D11 init failed");
    release_client_status();
    return;
  }
  clipboard_->start([this](const std::string& text) {
    connection_.send(code(MessageType::ClipboardText), write_clipboard_text(text));
  });
  // Not fatal: a host without a display to keep awake (or without the means) still serves.
  if (!environment_.keep_awake().begin()) log_message("keep-awake not available");
  const std::string shortfall = environment_.keep_awake().take_shortfall();
  if (!shortfall.empty()) log_message("keep-awake: %s", shortfall.c_str());
  std::thread receive_thread = start_thread([this] { receive_loop(); });

  capture_->run();

  // Winding down. Held keys are released only after the receive thread has ended, so no input
  // message can press one again; the display is restored before the active-session slot is
  // given up, so a waiting client starts on the host's own display mode.
  connection_.close();
  receive_thread.join();
  input_->release_all();
  clipboard_->stop();
  shared_folder_->stop_shared_folder();
  if (const auto stats = capture_->encoder_stats()) {
    log_message(
        "encoder stats: in %d out %d needmore %d, loop: dirty-skips congested %u convert %u "
        "encodeRejected %u",
        stats->frames_in, stats->frames_out, stats->need_more_input, stats->congested_skips,
        stats->conversions, stats->encode_rejects);
    capture_->destroy_encoder();
  }
  environment_.keep_awake().end();
  environment_.display_controller().restore();
  log_message("%s: session ended", name.c_str());
  // Only when no newer client has authenticated meanwhile (a displaced session ends after its
  // successor reported itself).
  release_client_status();
}

void Session::receive_loop() {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  while (connection_.receive(type, payload)) dispatch(type, payload);
  connection_.close();
}

void Session::dispatch(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
  read_client_message(type, payload, *this);
}

void Session::on_stream_config(const StreamConfigMessage& message) {
  const ClientConfig config = client_config_from(message);
  std::lock_guard<std::mutex> guard(config_lock_);
  pending_config_ = config;
  config_pending_ = true;
}

void Session::on_clipboard_text(const std::vector<std::uint8_t>& text) {
  clipboard_->set_text(std::string(text.begin(), text.end()));
}

void Session::on_ping(const std::vector<std::uint8_t>& payload) {
  connection_.send(code(MessageType::Pong), write_pong(payload));
}

void Session::on_mouse_move(float x, float y) { input_->mouse_move(x, y); }

void Session::on_mouse_button(std::uint8_t button, bool pressed) {
  input_->mouse_button(button, pressed);
}

void Session::on_mouse_wheel(float dx, float dy, bool flag) { input_->mouse_wheel(dx, dy, flag); }

void Session::on_key(std::uint16_t usage, bool pressed) { input_->key_event(usage, pressed); }

void Session::on_keyframe_request() { keyframe_requested_.exchange(true); }

void Session::on_release_keys() { input_->release_all(); }

void Session::on_ctrl_alt_del() { environment_.request_secure_attention(); }

void Session::on_folder_share(const std::vector<std::uint8_t>& payload) {
  shared_folder_->handle_folder_share(payload);
}

void Session::on_folder_data(const std::vector<std::uint8_t>& payload) {
  shared_folder_->handle_folder_traffic(code(MessageType::FolderData), payload);
}

void Session::on_folder_close(const std::vector<std::uint8_t>& payload) {
  shared_folder_->handle_folder_traffic(code(MessageType::FolderClose), payload);
}

}  // namespace tolvi
