#include "input/input_desktop.h"

#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "platform/input.h"

namespace tolvi {
namespace {

constexpr std::uint64_t kMicrosecondsPerMillisecond = 1000;

// Per thread: whether it has checked yet, and when it last did.
thread_local bool checked = false;
thread_local std::uint64_t last_check_ms = 0;

}  // namespace

void follow_input_desktop() {
  unsigned long thread_id = 0;
  std::wstring name;
  if (platform::follow_input_desktop(thread_id, name)) {
    log_message("thread %lu now on desktop '%ls'", thread_id, name.c_str());
  }
}

void desktop_check_throttle(RunMode mode, std::uint64_t now_ms,
                            const std::function<void()>& follow) {
  if (mode != RunMode::Agent) return;
  if (checked && now_ms - last_check_ms < kDesktopCheckIntervalMs) return;
  checked = true;
  last_check_ms = now_ms;
  follow();
}

void desktop_check_throttle() {
  desktop_check_throttle(run_mode.load(), monotonic_us() / kMicrosecondsPerMillisecond,
                         [] { follow_input_desktop(); });
}

}  // namespace tolvi
