#pragma once
#include "core/host_environment.h"

namespace tolvi {

class Connection;

// Stand-ins for subsystems this build does not have yet. None of them does anything a user
// could notice, and none claims a success it did not have.

class PlaceholderSharedFolder : public SharedFolder {
 public:
  void handle_folder_share(const std::vector<std::uint8_t>&) override {}
  void handle_folder_traffic(std::uint8_t, const std::vector<std::uint8_t>&) override {}
  void stop_shared_folder() override {}
};

class PlaceholderInputInjector : public InputInjector {
 public:
  void mouse_move(float, float) override {}
  void mouse_button(std::uint8_t, bool) override {}
  void mouse_wheel(float, float, bool) override {}
  void key_event(std::uint16_t, bool) override {}
  void release_all() override {}
};

class PlaceholderClipboardSync : public ClipboardSync {
 public:
  void start(TextCallback) override {}
  void set_text(const std::string&) override {}
  void stop() override {}
};

// Without capture there is never a configuration to build a pipeline for, so the loop idles
// (as the real one does before the first StreamConfig) until the connection closes.
class PlaceholderCaptureLoop : public CaptureLoop {
 public:
  explicit PlaceholderCaptureLoop(Connection& connection) : connection_(connection) {}
  bool init_capture_device() override { return true; }
  void run() override;
  std::optional<CaptureStats> encoder_stats() const override { return std::nullopt; }
  void destroy_encoder() override {}

 private:
  Connection& connection_;
};

class PlaceholderKeepAwake : public KeepAwake {
 public:
  void begin() override {}
  void end() override {}
};

class PlaceholderDisplayController : public DisplayController {
 public:
  void restore() override {}
};

}  // namespace tolvi
