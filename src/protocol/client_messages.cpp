#include "protocol/client_messages.h"

#include <cstring>

#include "base/little_endian.h"
#include "protocol/message_types.h"

namespace tolvi {
namespace {

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

constexpr std::size_t kFolderFlagBytes = 1;
constexpr std::size_t kFolderLengthBytes = 2;

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads a 16-bit length and that many bytes at `at`; false when cut short.
bool read_field(const std::vector<std::uint8_t>& payload, std::size_t& at, std::string& out) {
  if (payload.size() - at < kFolderLengthBytes) return false;
  const std::size_t length = u16_at(payload, at);
  at += kFolderLengthBytes;
  if (payload.size() - at < length) return false;
  out.assign(reinterpret_cast<const char*>(payload.data() + at), length);
  at += length;
  return true;
}

}  // namespace

std::optional<FolderShareMessage> read_folder_share(const std::vector<std::uint8_t>& payload) {
  if (payload.size() < kFolderFlagBytes) return std::nullopt;
  FolderShareMessage message;
  message.read_only = payload[0] != 0;
  std::size_t at = kFolderFlagBytes;
  if (!read_field(payload, at, message.token) || !read_field(payload, at, message.name)) {
    return std::nullopt;
  }
  for (const char c : message.token) {
    if (!is_hex_digit(c)) return std::nullopt;
  }
  return message;
}

bool read_stream_config(const std::vector<std::uint8_t>& p, StreamConfigMessage& out) {
  if (p.size() < kStreamConfigBytes) return false;
  out.width = static_cast<std::int32_t>(u32_at(p, 0));
  out.height = static_cast<std::int32_t>(u32_at(p, 4));
  out.scale_percent = u16_at(p, 8);
  out.match_resolution = p[10] != 0;
  out.codec_mask = p[11];
  out.fps = u16_at(p, 12);
  out.max_kbps = static_cast<std::int32_t>(u32_at(p, 14));
  return true;
}

bool read_client_message(std::uint8_t type, const std::vector<std::uint8_t>& payload,
                         ClientMessageHandler& handler) {
  switch (static_cast<MessageType>(type)) {
    case MessageType::StreamConfig: {
      StreamConfigMessage config;
      if (!read_stream_config(payload, config)) return false;
      handler.on_stream_config(config);
      return true;
    }
    case MessageType::ClipboardText:
      handler.on_clipboard_text(payload);
      return true;
    case MessageType::Ping:
      handler.on_ping(payload);
      return true;
    case MessageType::MouseMove:
      if (payload.size() < kMouseMoveBytes) return false;
      handler.on_mouse_move(float_at(payload, 0), float_at(payload, 4));
      return true;
    case MessageType::MouseButton:
      if (payload.size() < kMouseButtonBytes) return false;
      handler.on_mouse_button(payload[0], payload[1] != 0);
      return true;
    case MessageType::MouseWheel:
      if (payload.size() < kMouseWheelBytes) return false;
      handler.on_mouse_wheel(float_at(payload, 0), float_at(payload, 4), payload[8] != 0);
      return true;
    case MessageType::Key:
      if (payload.size() < kKeyMessageBytes) return false;
      handler.on_key(u16_at(payload, 0), payload[2] != 0);
      return true;
    case MessageType::KeyframeRequest:
      handler.on_keyframe_request();
      return true;
    case MessageType::ReleaseKeys:
      handler.on_release_keys();
      return true;
    case MessageType::CtrlAltDel:
      handler.on_ctrl_alt_del();
      return true;
    case MessageType::FolderShare:
      handler.on_folder_share(payload);
      return true;
    case MessageType::FolderData:
      handler.on_folder_data(payload);
      return true;
    case MessageType::FolderClose:
      handler.on_folder_close(payload);
      return true;
    default:
      // Everything else, the handshake types included, is read and ignored.
      return false;
  }
}

}  // namespace tolvi
