// Input injection on Windows: SendInput with the records as the injector built them, and the
// virtual screen from the system metrics.
#include <windows.h>

#include <vector>

#include "platform/input.h"

namespace tolvi::platform {
namespace {

static_assert(kMouseMove == MOUSEEVENTF_MOVE && kMouseAbsolute == MOUSEEVENTF_ABSOLUTE &&
              kMouseVirtualDesk == MOUSEEVENTF_VIRTUALDESK && kMouseWheel == MOUSEEVENTF_WHEEL &&
              kMouseHWheel == MOUSEEVENTF_HWHEEL && kMouseXDown == MOUSEEVENTF_XDOWN &&
              kMouseXUp == MOUSEEVENTF_XUP && kMouseLeftDown == MOUSEEVENTF_LEFTDOWN &&
              kMouseRightUp == MOUSEEVENTF_RIGHTUP && kMouseMiddleUp == MOUSEEVENTF_MIDDLEUP);
static_assert(kKeyExtended == KEYEVENTF_EXTENDEDKEY && kKeyUp == KEYEVENTF_KEYUP &&
              kKeyScanCode == KEYEVENTF_SCANCODE);
static_assert(kXButton1 == XBUTTON1 && kXButton2 == XBUTTON2 && kWheelDelta == WHEEL_DELTA);

class SendInputSink : public InputSink {
 public:
  bool inject(std::span<const InputEvent> events) override {
    std::vector<INPUT> records(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      const InputEvent& e = events[i];
      INPUT& r = records[i];
      if (e.kind == InputEvent::Kind::Key) {
        r.type = INPUT_KEYBOARD;
        r.ki.wVk = 0;
        r.ki.wScan = e.scan_code;
        r.ki.dwFlags = e.flags;
      } else {
        r.type = INPUT_MOUSE;
        r.mi.dx = e.dx;
        r.mi.dy = e.dy;
        // Negative wheel amounts travel in the unsigned field as their two's complement.
        r.mi.mouseData = static_cast<DWORD>(e.mouse_data);
        r.mi.dwFlags = e.flags;
      }
    }
    // A refused batch (another desktop has the input) is not a failure of the sink: desktop
    // following moves the thread.
    SendInput(static_cast<UINT>(records.size()), records.data(), sizeof(INPUT));
    return true;
  }

  VirtualScreen virtual_screen() override {
    return {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
            GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  }
};

}  // namespace

std::unique_ptr<InputSink> make_input_sink(const std::string&) {
  return std::make_unique<SendInputSink>();
}

}  // namespace tolvi::platform
