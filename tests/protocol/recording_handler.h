#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/client_messages.h"

namespace tolvi::test {

// A ClientMessageHandler that writes each call down as one line of text.
class RecordingHandler : public ClientMessageHandler {
 public:
  std::vector<std::string> calls;

  void on_stream_config(const StreamConfigMessage& m) override {
    add("config " + std::to_string(m.width) + " " + std::to_string(m.height) + " " +
        std::to_string(m.scale_percent) + " " + std::to_string(m.match_resolution) + " " +
        std::to_string(m.codec_mask) + " " + std::to_string(m.fps) + " " +
        std::to_string(m.max_kbps));
  }
  void on_clipboard_text(const std::vector<std::uint8_t>& text) override {
    add("clipboard " + std::string(text.begin(), text.end()));
  }
  void on_ping(const std::vector<std::uint8_t>& p) override { add("ping " + bytes(p)); }
  void on_mouse_move(float x, float y) override {
    add("move " + std::to_string(x) + " " + std::to_string(y));
  }
  void on_mouse_button(std::uint8_t button, bool pressed) override {
    add("button " + std::to_string(button) + " " + std::to_string(pressed));
  }
  void on_mouse_wheel(float dx, float dy, bool flag) override {
    add("wheel " + std::to_string(dx) + " " + std::to_string(dy) + " " + std::to_string(flag));
  }
  void on_key(std::uint16_t usage, bool pressed) override {
    add("key " + std::to_string(usage) + " " + std::to_string(pressed));
  }
  void on_keyframe_request() override { add("keyframe"); }
  void on_release_keys() override { add("release all"); }
  void on_ctrl_alt_del() override { add("ctrl alt del"); }
  void on_folder_share(const std::vector<std::uint8_t>& p) override { add("share " + bytes(p)); }
  void on_folder_data(const std::vector<std::uint8_t>& p) override { add("data " + bytes(p)); }
  void on_folder_close(const std::vector<std::uint8_t>& p) override { add("close " + bytes(p)); }

 private:
  static std::string bytes(const std::vector<std::uint8_t>& p) {
    std::string out = std::to_string(p.size());
    for (std::uint8_t b : p) out += " " + std::to_string(b);
    return out;
  }
  void add(std::string line) { calls.push_back(std::move(line)); }
};

}  // namespace tolvi::test
