#include "input_messages.h"

#include <cstring>

#include "base/little_endian.h"

namespace tolvi::client {
namespace {

void put_float(std::vector<std::uint8_t>& out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  std::uint8_t bytes[4];
  store_le<std::uint32_t>(bytes, bits);
  out.insert(out.end(), bytes, bytes + 4);
}

}  // namespace

std::vector<std::uint8_t> mouse_move_payload(float x, float y) {
  std::vector<std::uint8_t> out;
  put_float(out, x);
  put_float(out, y);
  return out;
}

std::vector<std::uint8_t> mouse_button_payload(std::uint8_t button, bool pressed) {
  return {button, static_cast<std::uint8_t>(pressed ? 1 : 0)};
}

std::vector<std::uint8_t> mouse_wheel_payload(float horizontal, float vertical, bool fine) {
  std::vector<std::uint8_t> out;
  put_float(out, horizontal);
  put_float(out, vertical);
  out.push_back(fine ? 1 : 0);
  return out;
}

std::vector<std::uint8_t> key_payload(std::uint16_t usage, bool pressed) {
  std::uint8_t bytes[2];
  store_le<std::uint16_t>(bytes, usage);
  return {bytes[0], bytes[1], static_cast<std::uint8_t>(pressed ? 1 : 0)};
}

}  // namespace tolvi::client
