#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tolvi {

// Payloads of the messages the host sends; all numbers little-endian. The frame around them
// (type, length, sealing) is the connection's.

constexpr std::size_t kProtocolKeyBytes = 32;
constexpr std::size_t kStreamInfoBytes = 17;
constexpr std::size_t kVideoFrameHeaderBytes = 9;
constexpr std::size_t kCursorHeaderBytes = 8;
constexpr std::uint8_t kStreamCodecH264 = 1;
constexpr std::uint8_t kStreamCodecHevc = 2;
constexpr std::uint8_t kAuthFailed = 0x00;
constexpr std::uint8_t kAuthSucceeded = 0x01;

// HostHello: "TOLV", 02 00 02, host random, identity public key, ephemeral public key (32
// bytes each), then the computer name's bytes without a terminator.
std::vector<std::uint8_t> write_host_hello(const std::uint8_t host_random[32],
                                           const std::uint8_t identity_public[32],
                                           const std::uint8_t ephemeral_public[32],
                                           std::string_view computer_name);

// AuthResult on success: 0x01 and the host's proof, into `out` (33 bytes; the caller wipes it).
void write_auth_success(const std::uint8_t host_proof[32], std::uint8_t out[33]);

// StreamInfo: codec (1 H.264, 2 HEVC), stream width and height, desktop width and height
// (unsigned 32-bit each).
std::vector<std::uint8_t> write_stream_info(std::uint8_t codec, std::uint32_t stream_width,
                                            std::uint32_t stream_height,
                                            std::uint32_t desktop_width,
                                            std::uint32_t desktop_height);

// The 9 bytes before a VideoFrame's access unit: key-frame flag (1 or 0), frame time in
// microseconds (64-bit).
void write_video_frame_header(bool keyframe, std::uint64_t time_us,
                              std::uint8_t out[kVideoFrameHeaderBytes]);

// The 8 bytes before a CursorShape's pixels: width, height, hot spot x, y (16-bit each).
void write_cursor_header(std::uint16_t width, std::uint16_t height, std::uint16_t hot_x,
                         std::uint16_t hot_y, std::uint8_t out[kCursorHeaderBytes]);
// The CursorShape that says the pointer is hidden: eight zero bytes.
std::vector<std::uint8_t> write_hidden_cursor();

// ClipboardText: the UTF-8 text without a terminator.
std::vector<std::uint8_t> write_clipboard_text(std::string_view text);

// FolderOpen and FolderClose: the connection id (32-bit). FolderData: the id, then the bytes.
std::vector<std::uint8_t> write_folder_open(std::uint32_t id);
std::vector<std::uint8_t> write_folder_data(std::uint32_t id, std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> write_folder_close(std::uint32_t id);

// FolderStatus: success byte (1 or 0), then the UTF-8 text without a terminator.
std::vector<std::uint8_t> write_folder_status(bool success, std::string_view text);

// Pong: the Ping's payload, byte for byte.
std::vector<std::uint8_t> write_pong(std::span<const std::uint8_t> ping);

}  // namespace tolvi
