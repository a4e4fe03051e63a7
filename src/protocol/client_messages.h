#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvi {

// Reading what the client sends once the session serves. Each payload is checked against the
// fixed part its type needs; a shorter payload is ignored, bytes after that part are ignored,
// and so are unknown types and the handshake types arriving again. All numbers little-endian.

constexpr std::size_t kStreamConfigBytes = 18;
constexpr std::size_t kMouseMoveBytes = 8;
constexpr std::size_t kMouseButtonBytes = 2;
constexpr std::size_t kMouseWheelBytes = 9;
constexpr std::size_t kKeyMessageBytes = 3;

// StreamConfig as it stands on the wire: width (i32), height (i32), scale percent (u16), match
// (u8), codec mask (u8), fps (u16), max kbit/s (i32).
struct StreamConfigMessage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint16_t scale_percent = 0;
  bool match_resolution = false;
  std::uint8_t codec_mask = 0;
  std::uint16_t fps = 0;
  std::int32_t max_kbps = 0;
  bool operator==(const StreamConfigMessage&) const = default;
};

// The fields of a FolderShare announcement.
struct FolderShareMessage {
  bool read_only = false;
  std::string token;  // hexadecimal digits only (may be empty)
  std::string name;   // UTF-8, percent-encoded; empty: the client stopped sharing
};

// Reads FolderShare field by field: read-only byte, 16-bit token length, token, 16-bit name
// length, name; bytes after the name are ignored. Nothing when a field is cut short or the
// token holds anything but hexadecimal digits.
std::optional<FolderShareMessage> read_folder_share(const std::vector<std::uint8_t>& payload);

// One method per message the client may send. The folder messages are handed on whole: the
// shared-folder forwarder reads their fields itself.
class ClientMessageHandler {
 public:
  virtual ~ClientMessageHandler() = default;
  virtual void on_stream_config(const StreamConfigMessage& config) = 0;
  // All payload bytes, NULs included.
  virtual void on_clipboard_text(const std::vector<std::uint8_t>& text) = 0;
  virtual void on_ping(const std::vector<std::uint8_t>& payload) = 0;
  virtual void on_mouse_move(float x, float y) = 0;
  virtual void on_mouse_button(std::uint8_t button, bool pressed) = 0;
  virtual void on_mouse_wheel(float dx, float dy, bool flag) = 0;
  virtual void on_key(std::uint16_t usage, bool pressed) = 0;
  virtual void on_keyframe_request() = 0;
  virtual void on_release_keys() = 0;
  virtual void on_ctrl_alt_del() = 0;
  virtual void on_folder_share(const std::vector<std::uint8_t>& payload) = 0;
  virtual void on_folder_data(const std::vector<std::uint8_t>& payload) = 0;
  virtual void on_folder_close(const std::vector<std::uint8_t>& payload) = 0;
};

// Reads one client message and calls the handler's method for it; false when the message is
// ignored (too short, unknown, or a handshake type).
bool read_client_message(std::uint8_t type, const std::vector<std::uint8_t>& payload,
                         ClientMessageHandler& handler);

// The StreamConfig fields; false when the payload is shorter than 18 bytes.
bool read_stream_config(const std::vector<std::uint8_t>& payload, StreamConfigMessage& out);

}  // namespace tolvi
