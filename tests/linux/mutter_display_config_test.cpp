// The configuration a host hands its display guardian on GNOME/Wayland: what the guardian reads
// back is what the host saw, and a line it cannot read whole is never applied in part.
#include "platform/linux/mutter_display_config.h"

#include <gtest/gtest.h>

#include <clocale>

namespace tolvi::platform {
namespace {

TEST(MutterDisplayConfig, RoundTripsAndRefusesBrokenLines) {
  LogicalConfig left{{0, 0, 1.25, 0, true, {}}, {{"eDP-1", "2560x1600@60.002"}}};
  LogicalConfig right{{2048, -120, 2, 1, false, {}},
                      {{"DP-1", "1920x1080@59.940"}, {"DP-2", "1920x1080@60.000"}}};
  // A locale with a decimal comma must not change the text.
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  const std::string line = format_display_configuration({left, right});
  std::setlocale(LC_NUMERIC, "C");
  const auto back = parse_display_configuration(line);
  ASSERT_TRUE(back) << line;
  ASSERT_EQ(back->size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const LogicalConfig& want = i == 0 ? left : right;
    const LogicalConfig& got = (*back)[i];
    EXPECT_EQ(got.place.x, want.place.x);
    EXPECT_EQ(got.place.y, want.place.y);
    EXPECT_DOUBLE_EQ(got.place.scale, want.place.scale);
    EXPECT_EQ(got.place.transform, want.place.transform);
    EXPECT_EQ(got.place.primary, want.place.primary);
    EXPECT_EQ(got.connector_modes, want.connector_modes);
  }
  for (const char* broken :
       {"", "nothing", "restore", "restore 0 0 1 0 1", "restore 0 0 1 0 1 Meta-0",
        "restore 0 0 x 0 1 Meta-0 1280x720@60.000", "restore 0 0 1 0 1 Meta-0 m |",
        "apply 0 0 1 0 1 Meta-0 1280x720@60.000"}) {
    EXPECT_FALSE(parse_display_configuration(broken)) << broken;
  }
}

}  // namespace
}  // namespace tolvi::platform
