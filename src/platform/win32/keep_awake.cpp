#include "platform/keep_awake.h"

#include <windows.h>

namespace tolvi::platform {

namespace {

// The request belongs to the calling thread: begin() and end() run on the same one.
class ThreadKeepAwake : public KeepAwake {
 public:
  ~ThreadKeepAwake() override { end(); }

  bool begin() override {
    active_ =
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED) != 0;
    return active_;
  }

  void end() override {
    if (!active_) return;
    SetThreadExecutionState(ES_CONTINUOUS);
    active_ = false;
  }

 private:
  bool active_ = false;
};

}  // namespace

std::unique_ptr<KeepAwake> make_keep_awake(const std::string&) {
  return std::make_unique<ThreadKeepAwake>();
}

}  // namespace tolvi::platform
