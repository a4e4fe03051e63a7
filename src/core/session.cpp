#include "core/session.h"

#include <cstring>
#include <mutex>
#include <thread>

#include "core/message_types.h"
#include "platform/little_endian.h"
#include "platform/thread_start.h"
#include "settings/log.h"
#include "tray/status_report.h"

namespace tolvi {
namespace {

constexpr std::size_t kStreamConfigBytes = 18;
constexpr std::size_t kMouseMoveBytes = 8;
constexpr std::size_t kMouseButtonBytes = 2;
constexpr std::size_t kMouseWheelBytes = 9;
constexpr std::size_t kKeyBytes = 3;

std::uint16_t u16_at(const std::vector<std::uint8_t>& p, std::size_t at) {
  return load_le<std::uint16_t>(p.data() + at);
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& p, std::size_t at) {
  return load_le<std::uint32_t>(p.data() + at);
}

float float_at(const std::vector<std::uint8_t>& p, std::size_t at) {
  const std::uint32_t bits = u32_at(p, at);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The session whose client the status shows; compared, never followed. Lock order: this lock
// before the status report's own.
std::mutex client_status_lock;
const Session* client_status_owner = nullptr;

}  // namespace

bool parse_stream_config(const std::vector<std::uint8_t>& p, ClientConfig& out) {
  if (p.size() < kStreamConfigBytes) return false;
  out.width = static_cast<std::int32_t>(u32_at(p, 0));
  out.height = static_cast<std::int32_t>(u32_at(p, 4));
  out.scale = u16_at(p, 8) / 100.0;
  out.match_resolution = p[10] != 0;
  out.codec_mask = p[11];
  out.fps = u16_at(p, 12);
  out.max_kbps = static_cast<std::int32_t>(u32_at(p, 14));
  return true;
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
  report_client_status(connection_.peer_name());
}

void Session::release_client_status() {
  std::lock_guard<std::mutex> guard(client_status_lock);
  if (client_status_owner != this) return;
  client_status_owner = nullptr;
  report_client_status("");
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
    connection_.send(code(MessageType::ClipboardText),
                     reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
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
  switch (static_cast<MessageType>(type)) {
    case MessageType::StreamConfig: {
      ClientConfig config;
      if (!parse_stream_config(payload, config)) return;
      std::lock_guard<std::mutex> guard(config_lock_);
      pending_config_ = config;
      config_pending_ = true;
      return;
    }
    case MessageType::ClipboardText:
      clipboard_->set_text(std::string(payload.begin(), payload.end()));
      return;
    case MessageType::Ping:
      connection_.send(code(MessageType::Pong), payload);
      return;
    case MessageType::MouseMove:
      if (payload.size() < kMouseMoveBytes) return;
      input_->mouse_move(float_at(payload, 0), float_at(payload, 4));
      return;
    case MessageType::MouseButton:
      if (payload.size() < kMouseButtonBytes) return;
      input_->mouse_button(payload[0], payload[1] != 0);
      return;
    case MessageType::MouseWheel:
      if (payload.size() < kMouseWheelBytes) return;
      input_->mouse_wheel(float_at(payload, 0), float_at(payload, 4), payload[8] != 0);
      return;
    case MessageType::Key:
      if (payload.size() < kKeyBytes) return;
      input_->key_event(u16_at(payload, 0), payload[2] != 0);
      return;
    case MessageType::KeyframeRequest:
      keyframe_requested_.exchange(true);
      return;
    case MessageType::ReleaseKeys:
      input_->release_all();
      return;
    case MessageType::CtrlAltDel:
      environment_.request_secure_attention();
      return;
    case MessageType::FolderShare:
      shared_folder_->handle_folder_share(payload);
      return;
    case MessageType::FolderData:
    case MessageType::FolderClose:
      shared_folder_->handle_folder_traffic(type, payload);
      return;
    default:
      // Everything else, the handshake types included, is read and ignored.
      return;
  }
}

}  // namespace tolvi
