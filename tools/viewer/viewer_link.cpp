#include "viewer_link.h"

#include <chrono>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
}

#include "base/little_endian.h"
#include "base/secure_zero.h"
#include "folder_relay.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "protocol/limits.h"
#include "protocol/message_types.h"
#include "stream_receiver.h"

namespace tolvi::viewer {
namespace {

constexpr auto kReceiveTurn = std::chrono::milliseconds(100);
constexpr std::uint64_t kPingIntervalUs = 1000000;
constexpr std::size_t kPingBytes = 8;
constexpr std::size_t kMaxPendingClipboardTexts = 8;
constexpr std::uint64_t kSecondUs = 1000000;

}  // namespace

ViewerLink::ViewerLink(Target target, client::StreamRequest request, std::function<void()> wake)
    : target_(std::move(target)), wake_(std::move(wake)), request_(request) {
  thread_ = std::thread([this] { run(); });
}

ViewerLink::~ViewerLink() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  secure_zero(target_.password.data(), target_.password.size());
}

std::string ViewerLink::message() const {
  std::lock_guard lock(mutex_);
  return message_;
}

std::string ViewerLink::computer_name() const {
  std::lock_guard lock(mutex_);
  return computer_name_;
}

ViewerLink::Figures ViewerLink::figures() const {
  std::lock_guard lock(mutex_);
  return figures_;
}

bool ViewerLink::send(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
  std::lock_guard lock(send_mutex_);
  if (state_ != State::Streaming || !connection_) return false;
  return connection_->send(type, payload);
}

void ViewerLink::request_stream(const client::StreamRequest& request) {
  std::lock_guard lock(send_mutex_);
  {
    std::lock_guard figures_lock(mutex_);
    request_ = request;
  }
  if (state_ == State::Streaming && connection_) send_stream_config();
}

ffmpeg::FramePtr ViewerLink::take_picture(PictureTimes* times) {
  std::lock_guard lock(mutex_);
  if (times) *times = picture_times_;
  return std::move(picture_);
}

bool ViewerLink::take_cursor(std::vector<std::uint8_t>& payload) {
  std::lock_guard lock(mutex_);
  if (!cursor_new_) return false;
  cursor_new_ = false;
  payload = cursor_;
  return true;
}

bool ViewerLink::take_clipboard(std::string& text) {
  std::lock_guard lock(mutex_);
  if (clipboard_.empty()) return false;
  text = std::move(clipboard_.front());
  clipboard_.erase(clipboard_.begin());
  return true;
}

bool ViewerLink::take_folder_status(std::string& text) {
  std::lock_guard lock(mutex_);
  if (!folder_status_new_) return false;
  folder_status_new_ = false;
  text = folder_status_;
  return true;
}

void ViewerLink::set_folder_status(std::string text) {
  {
    std::lock_guard lock(mutex_);
    folder_status_ = std::move(text);
    folder_status_new_ = true;
  }
  wake_();
}

void ViewerLink::finish(State state, std::string message) {
  {
    std::lock_guard lock(mutex_);
    message_ = std::move(message);
  }
  state_ = state;
  wake_();
}

void ViewerLink::send_ping() {
  std::uint8_t bytes[kPingBytes];
  store_le<std::uint64_t>(bytes, platform::monotonic_clock_us());
  send(code(MessageType::Ping), std::vector<std::uint8_t>(bytes, bytes + kPingBytes));
}

// Called with send_mutex_ held, which also guards the governor.
void ViewerLink::send_stream_config() {
  client::StreamRequest request;
  {
    std::lock_guard lock(mutex_);
    request = request_;
    figures_.asked_fps = governor_.lowered() ? governor_.asked() : 0;
  }
  if (governor_.lowered()) request.fps = governor_.asked();
  connection_->send(code(MessageType::StreamConfig), client::stream_config_payload(request));
}

bool ViewerLink::connect() {
  platform::net_startup();
  platform::Socket socket = platform::connect_to(target_.host, target_.port);
  if (!socket.valid()) {
    finish(State::Unreachable, "The host " + target_.host + " port " +
                                   std::to_string(target_.port) + " is not reachable.");
    return false;
  }
  socket.set_no_delay(true);
  // Input messages go out behind shared-folder data written by the relay; keep little of it
  // waiting in the system's buffer.
  socket.set_unsent_limit(kSessionUnsentBytes);
  auto connection = std::make_unique<client::ClientConnection>(std::move(socket));
  connection->set_receive_timeout(std::chrono::seconds(10));
  client::HostHello hello;
  const client::HandshakeResult result =
      client::client_handshake(*connection, target_.password, &hello);
  if (result == client::HandshakeResult::WrongPassword) {
    finish(State::WrongPassword, "Wrong password.");
    return false;
  }
  if (result != client::HandshakeResult::Authenticated) {
    finish(State::Failed, std::string("Could not connect: ") + client::describe(result) + ".");
    return false;
  }
  connection->set_receive_timeout(kReceiveTurn);
  {
    std::lock_guard lock(send_mutex_);
    connection_ = std::move(connection);
    {
      std::lock_guard figures_lock(mutex_);
      computer_name_ = hello.computer_name;
      governor_.reset(request_.fps);
    }
    send_stream_config();
    state_ = State::Streaming;
  }
  wake_();
  return true;
}

void ViewerLink::share(client::FolderRelay& relay) {
  if (target_.share_folder.empty()) return;
  std::string error;
  if (relay.start(target_.share_folder, client::default_share_name(target_.share_folder),
                  target_.share_read_only, error)) {
    std::lock_guard lock(send_mutex_);
    connection_->send(code(MessageType::FolderShare), relay.share_payload());
  } else {
    set_folder_status("failed: cannot share " + target_.share_folder + ": " + error);
  }
}

void ViewerLink::run() {
  if (!connect()) return;
  // The shared folder lives as long as this connection: the relay (and its WebDAV server)
  // stops when run() returns and a reconnect starts a new one.
  client::FolderRelay relay(*connection_, send_mutex_);
  share(relay);
  dispatch(relay);
}

void ViewerLink::second_passed() {
  {
    std::lock_guard lock(send_mutex_);  // the governor is read by senders of the request
    const bool changed = governor_.second_passed(second_);
    second_ = {};
    if (!changed) return;
    if (state_ == State::Streaming && connection_) send_stream_config();
  }
  wake_();  // the window says so
}

void ViewerLink::dispatch(client::FolderRelay& relay) {
  client::StreamReceiver::Options options;
  options.hardware_decoding = true;
  options.keep_latencies = false;
  client::StreamReceiver receiver(options);
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  std::uint64_t last_ping_us = 0;
  second_start_us_ = platform::monotonic_clock_us();
  client::ClientConnection& c = *connection_;
  while (!stop_) {
    const std::uint64_t now_us = platform::monotonic_clock_us();
    if (now_us - last_ping_us >= kPingIntervalUs) {
      last_ping_us = now_us;
      send_ping();
    }
    if (now_us - second_start_us_ >= kSecondUs) {
      second_start_us_ = now_us;
      second_passed();
    }
    if (!c.receive(type, payload)) {
      if (c.last_failure() == client::ClientConnection::Failure::Idle) continue;
      if (c.last_failure() != client::ClientConnection::Failure::Closed) {
        finish(State::HungUp, "The connection to the host broke.");
      } else if (receiver.info()) {
        finish(State::HungUp, "The host closed the connection.");
      } else {
        // A host that cannot build the stream asked for says so only by hanging up before its
        // StreamInfo; asked for HEVC alone, the likely reason is that it has no HEVC encoder.
        std::uint8_t codecs = 0;
        {
          std::lock_guard lock(mutex_);
          codecs = request_.codec_mask;
        }
        finish(State::HungUp,
               codecs == client::kCodecMaskHevc
                   ? "The host closed the connection without starting the stream: it cannot "
                     "encode HEVC. Connect without --codec hevc."
                   : "The host closed the connection without starting the stream (its log "
                     "says why).");
      }
      return;
    }
    const std::uint64_t receipt_us = platform::monotonic_clock_us();
    if (type == code(MessageType::Pong) && payload.size() == kPingBytes) {
      const std::uint64_t sent_us = load_le<std::uint64_t>(payload.data());
      std::lock_guard lock(mutex_);
      figures_.rtt_ms = static_cast<double>(receipt_us - sent_us) / 1000.0;
      continue;
    }
    if (type == code(MessageType::ClipboardText)) {
      std::lock_guard lock(mutex_);
      if (clipboard_.size() >= kMaxPendingClipboardTexts) clipboard_.erase(clipboard_.begin());
      clipboard_.emplace_back(payload.begin(), payload.end());
      wake_();
      continue;
    }
    if (type == code(MessageType::FolderStatus)) {
      set_folder_status(client::folder_status_text(payload));
      continue;
    }
    if (relay.handle(type, payload)) continue;
    if (!on_stream_message(receiver, type, payload, receipt_us)) return;
  }
  finish(State::Stopped, "");
}

bool ViewerLink::on_stream_message(client::StreamReceiver& receiver, std::uint8_t type,
                                   const std::vector<std::uint8_t>& payload,
                                   std::uint64_t receipt_us) {
  const client::StreamReceiver::Event event = receiver.handle(type, payload, receipt_us);
  switch (event) {
    case client::StreamReceiver::Event::Error:
      finish(State::Failed, "The host's stream is broken: " + receiver.error() + ".");
      return false;
    case client::StreamReceiver::Event::Info: {
      std::lock_guard lock(mutex_);
      figures_.stream_w = receiver.info()->stream_width;
      figures_.stream_h = receiver.info()->stream_height;
      figures_.hardware = receiver.decoder().hardware();
      break;
    }
    case client::StreamReceiver::Event::Cursor: {
      std::lock_guard lock(mutex_);
      cursor_ = payload;
      cursor_new_ = true;
      break;
    }
    case client::StreamReceiver::Event::Frame:
    case client::StreamReceiver::Event::Picture: {
      const std::uint64_t decoded_us = platform::monotonic_clock_us();
      const double decode_ms = static_cast<double>(decoded_us - receipt_us) / 1000.0;
      const std::uint64_t time_us = receiver.last_frame().time_us;
      // Every frame is decoded; only a picture in time is offered to the window.
      bool late = false;
      ffmpeg::FramePtr picture;
      if (event == client::StreamReceiver::Event::Picture) {
        late = !gate_.decoded(time_us, decoded_us);
        if (!late) picture.reset(receiver.decoder().picture_ref());
      }
      ++second_.frames;
      second_.decode_ms += decode_ms;
      if (late) ++second_.late;
      std::lock_guard lock(mutex_);
      ++figures_.frames;
      figures_.bytes += receiver.last_frame().size;
      figures_.decode_ms_total += decode_ms;
      if (late) {
        ++figures_.dropped;
        ++figures_.late;
      }
      if (picture) {
        if (picture_) ++figures_.dropped;
        picture_ = std::move(picture);
        picture_times_ = {time_us, receipt_us, decoded_us};
      }
      break;
    }
    case client::StreamReceiver::Event::None:
      break;
  }
  if (event != client::StreamReceiver::Event::None) wake_();
  return true;
}

}  // namespace tolvi::viewer
