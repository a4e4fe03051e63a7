// The SendInput sink and desktop following under Wine, as far as Wine carries them: without an
// X display Wine has no cursor to move and no keyboard state to change, so those checks say
// they were skipped instead of passing.
#include <gtest/gtest.h>
#include <windows.h>

#include "input/input_injector.h"
#include "platform/input.h"

namespace tolvi {
namespace {

TEST(SendInputSink, ReportsTheVirtualScreenFromTheSystemMetrics) {
  auto sink = platform::make_input_sink("");
  ASSERT_NE(sink, nullptr);
  const platform::VirtualScreen screen = sink->virtual_screen();
  EXPECT_EQ(screen.left, GetSystemMetrics(SM_XVIRTUALSCREEN));
  EXPECT_EQ(screen.top, GetSystemMetrics(SM_YVIRTUALSCREEN));
  EXPECT_EQ(screen.width, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(screen.height, GetSystemMetrics(SM_CYVIRTUALSCREEN));
}

TEST(SendInputSink, AbsoluteMoveLandsOnTheComputedPixel) {
  auto sink = platform::make_input_sink("");
  const platform::VirtualScreen screen = sink->virtual_screen();
  if (screen.width < 3 || screen.height < 3) GTEST_SKIP() << "no virtual screen under Wine";
  InputInjector injector(std::move(sink), [] {});
  injector.set_target_rect(screen.left, screen.top, screen.left + screen.width,
                           screen.top + screen.height);
  injector.mouse_move(1.0f, 1.0f);
  POINT at{};
  if (!GetCursorPos(&at) || at.x != screen.left + screen.width - 1) {
    GTEST_SKIP() << "Wine did not move the cursor (no display)";
  }
  EXPECT_EQ(at.y, screen.top + screen.height - 1);
  injector.mouse_move(0.0f, 0.0f);
  ASSERT_TRUE(GetCursorPos(&at));
  EXPECT_EQ(at.x, screen.left);
  EXPECT_EQ(at.y, screen.top);
}

TEST(SendInputSink, ScanCodeKeyIsHeldThenReleased) {
  InputInjector injector(platform::make_input_sink(""), [] {});
  injector.key_event(225, true);  // left Shift
  if (!(GetAsyncKeyState(VK_LSHIFT) & 0x8000)) {
    injector.release_all();
    GTEST_SKIP() << "Wine did not register the injected key (no display)";
  }
  injector.release_all();
  EXPECT_FALSE(GetAsyncKeyState(VK_LSHIFT) & 0x8000);
}

TEST(InputDesktop, AThreadAlreadyOnTheInputDesktopStays) {
  unsigned long thread = 0;
  std::wstring name;
  EXPECT_FALSE(platform::follow_input_desktop(thread, name));
  EXPECT_TRUE(name.empty());
}

}  // namespace
}  // namespace tolvi
