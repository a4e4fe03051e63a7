#include "protocol/host_messages.h"

#include <cstring>
#include <iterator>

#include "base/little_endian.h"

namespace tolvi {
namespace {

constexpr std::uint8_t kHelloPrefix[] = {'T', 'O', 'L', 'V', 0x02, 0x00, 0x02};

}  // namespace

std::vector<std::uint8_t> write_host_hello(const std::uint8_t host_random[32],
                                           const std::uint8_t identity_public[32],
                                           const std::uint8_t ephemeral_public[32],
                                           std::string_view computer_name) {
  std::vector<std::uint8_t> hello(std::begin(kHelloPrefix), std::end(kHelloPrefix));
  hello.reserve(sizeof kHelloPrefix + 3 * kProtocolKeyBytes + computer_name.size());
  hello.insert(hello.end(), host_random, host_random + kProtocolKeyBytes);
  hello.insert(hello.end(), identity_public, identity_public + kProtocolKeyBytes);
  hello.insert(hello.end(), ephemeral_public, ephemeral_public + kProtocolKeyBytes);
  hello.insert(hello.end(), computer_name.begin(), computer_name.end());
  return hello;
}

void write_auth_success(const std::uint8_t host_proof[32], std::uint8_t out[33]) {
  out[0] = kAuthSucceeded;
  std::memcpy(out + 1, host_proof, kProtocolKeyBytes);
}

std::vector<std::uint8_t> write_stream_info(std::uint8_t codec, std::uint32_t stream_width,
                                            std::uint32_t stream_height,
                                            std::uint32_t desktop_width,
                                            std::uint32_t desktop_height) {
  std::vector<std::uint8_t> out;
  out.reserve(kStreamInfoBytes);
  out.push_back(codec);
  append_le<std::uint32_t>(out, stream_width);
  append_le<std::uint32_t>(out, stream_height);
  append_le<std::uint32_t>(out, desktop_width);
  append_le<std::uint32_t>(out, desktop_height);
  return out;
}

void write_video_frame_header(bool keyframe, std::uint64_t time_us,
                              std::uint8_t out[kVideoFrameHeaderBytes]) {
  out[0] = keyframe ? 1 : 0;
  store_le<std::uint64_t>(out + 1, time_us);
}

void write_cursor_header(std::uint16_t width, std::uint16_t height, std::uint16_t hot_x,
                         std::uint16_t hot_y, std::uint8_t out[kCursorHeaderBytes]) {
  store_le<std::uint16_t>(out, width);
  store_le<std::uint16_t>(out + 2, height);
  store_le<std::uint16_t>(out + 4, hot_x);
  store_le<std::uint16_t>(out + 6, hot_y);
}

std::vector<std::uint8_t> write_hidden_cursor() {
  return std::vector<std::uint8_t>(kCursorHeaderBytes, 0);
}

std::vector<std::uint8_t> write_clipboard_text(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> write_folder_open(std::uint32_t id) {
  std::vector<std::uint8_t> out;
  append_le<std::uint32_t>(out, id);
  return out;
}

std::vector<std::uint8_t> write_folder_data(std::uint32_t id, std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out;
  out.reserve(sizeof id + bytes.size());
  append_le<std::uint32_t>(out, id);
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

std::vector<std::uint8_t> write_folder_close(std::uint32_t id) { return write_folder_open(id); }

std::vector<std::uint8_t> write_folder_status(bool success, std::string_view text) {
  std::vector<std::uint8_t> out;
  out.reserve(1 + text.size());
  out.push_back(success ? 1 : 0);
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

std::vector<std::uint8_t> write_pong(std::span<const std::uint8_t> ping) {
  return std::vector<std::uint8_t>(ping.begin(), ping.end());
}

}  // namespace tolvi
