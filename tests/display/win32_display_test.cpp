// The GDI display backend as far as Wine implements it.
#include <gtest/gtest.h>

#include "display/display_controller.h"
#include "platform/display.h"
#include "platform/win32/gdi_device_name.h"

namespace tolvi {
namespace {

TEST(GdiDeviceName, FieldEndsAtItsFirstNulOrItsLastUnit) {
  // The field as the display-configuration packet has it: 32 units, not always terminated.
  constexpr std::size_t kUnits = 32;
  const std::wstring full(kUnits, L'D');  // every unit used, no terminator
  const struct Case {
    const wchar_t* what;
    std::wstring field;  // the units put in, the rest zero
    std::wstring device;
    bool same;
  } cases[] = {
      {L"terminated", L"\\\\.\\DISPLAY1", L"\\\\.\\DISPLAY1", true},
      {L"device longer", L"\\\\.\\DISPLAY1", L"\\\\.\\DISPLAY10", false},
      {L"device shorter", L"\\\\.\\DISPLAY10", L"\\\\.\\DISPLAY1", false},
      {L"all 32 units used", full, full, true},
      {L"all 32 used, device one longer", full, full + L"D", false},
      {L"all 32 used, device one shorter", full, full.substr(1), false},
      {L"empty field", L"", L"", true},
  };
  for (const Case& c : cases) {
    // One unit more than the field, set to a letter: a read past the end would take it in.
    struct {
      wchar_t field[kUnits];
      wchar_t after;
    } packet{};
    packet.after = L'D';
    c.field.copy(packet.field, kUnits);
    EXPECT_EQ(platform::is_gdi_device_name(c.device, packet.field), c.same) << c.what;
  }
}

TEST(GdiDisplay, PrimaryDisplayOffersItsCurrentModeAmongItsModes) {
  const std::string device = platform::primary_display_name();
  if (device.empty()) GTEST_SKIP() << "no primary display device here";
  std::unique_ptr<platform::DisplayBackend> display = platform::make_display_backend({});
  ASSERT_TRUE(display);
  platform::DisplayMode current;
  ASSERT_TRUE(display->current_mode(device, current));
  EXPECT_GT(current.width, 0u);
  bool listed = false;
  for (const platform::DisplayMode& mode : display->modes(device)) {
    listed |= mode.width == current.width && mode.height == current.height &&
              mode.bits_per_pixel == current.bits_per_pixel;
  }
  EXPECT_TRUE(listed);
}

TEST(GdiDisplay, ScalingOfThePrimaryDisplayReportsOrSaysUnavailable) {
  const std::string device = platform::primary_display_name();
  if (device.empty()) GTEST_SKIP() << "no primary display device here";
  DisplayController controller([] { return platform::make_display_backend({}); });
  controller.set_device_name(device);
  const std::string report = controller.scale_report();
  // The relative-scale packets are undocumented; Wine does not answer them.
  if (report == "unavailable") GTEST_SKIP() << "relative scale packets not answered";
  EXPECT_EQ(report.rfind("current ", 0), 0u) << report;
}

TEST(GdiDisplay, UnknownDeviceHasNoScaling) {
  DisplayController controller([] { return platform::make_display_backend({}); });
  controller.set_device_name("\\\\.\\NO-SUCH-DISPLAY");
  EXPECT_EQ(controller.scale_report(), "unavailable");
  EXPECT_EQ(controller.current_scale_percent(), 0);
}

}  // namespace
}  // namespace tolvi
