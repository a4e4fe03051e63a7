// The GDI display backend as far as Wine implements it.
#include <gtest/gtest.h>

#include "display/display_controller.h"
#include "platform/display.h"

namespace tolvi {
namespace {

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
