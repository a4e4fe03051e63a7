#include "display/display_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace tolvi {
namespace {

using platform::DisplayMode;

// A display whose modes and relative scale are plain data; switches and scale steps are
// applied to that data and recorded.
class FakeDisplay : public platform::DisplayBackend {
 public:
  bool current_mode(const std::string&, DisplayMode& mode) override {
    mode = current;
    return true;
  }
  std::vector<DisplayMode> modes(const std::string&) override { return offered; }
  platform::DisplayResult set_mode(const std::string&, const DisplayMode& mode) override {
    switches.push_back(mode);
    if (refuse_with != 0) {
      return platform::DisplayResult::refused("ChangeDisplaySettingsEx", refuse_with);
    }
    current = mode;
    return platform::DisplayResult::done();
  }
  void restore_mode(const std::string&) override {
    ++mode_restores;
    current = original;
  }
  bool get_scale(const std::string&, platform::RelativeScale& scale) override {
    if (!scale_known) return false;
    scale.target = target;
    scale.minimum = minimum;
    scale.current = current_step;
    scale.maximum = maximum;
    return true;
  }
  bool set_scale(const std::string&, const platform::ScaleTarget& given,
                 std::int32_t step) override {
    targets_set.push_back(given.token);
    steps_set.push_back(step);
    current_step = step;
    return true;
  }
  void changes_undone() override { ++undone; }

  // The recommended index R is -minimum.
  void scale(int min, int cur, int max) {
    minimum = min;
    current_step = cur;
    maximum = max;
  }

  DisplayMode original{2560, 1600, 32, 60, 0};
  DisplayMode current = original;
  std::vector<DisplayMode> offered;
  long refuse_with = 0;
  bool scale_known = true;
  int minimum = -1, current_step = -1, maximum = 5;
  std::vector<DisplayMode> switches;
  std::vector<std::int32_t> steps_set;
  // The backend's own name for the display, which the controller hands back unread.
  platform::ScaleTarget target{{7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 42}};
  std::vector<std::array<std::uint8_t, 16>> targets_set;
  int mode_restores = 0;
  int undone = 0;
};

DisplayMode mode(std::uint32_t w, std::uint32_t h, std::uint32_t hz = 60, std::uint32_t bpp = 32) {
  return DisplayMode{w, h, bpp, hz, static_cast<std::uint64_t>(w) * 10000 + h};
}

class DisplayControllerTest : public ::testing::Test {
 protected:
  DisplayControllerTest() { controller.set_device_name("screen"); }
  FakeDisplay display;
  DisplayController controller{display};
};

TEST(ModeScore, MatchesTheWorkedExamples) {
  const struct {
    std::int32_t w, h;
    DisplayMode mode;
    double score;
  } cases[] = {
      {1920, 1200, mode(1920, 1080), 831.1},
      {1920, 1200, mode(1920, 1200), 0.0},
      {1920, 1200, mode(2560, 1600), 1340.0},
      {1920, 1200, mode(1680, 1050), 390.0},
      {2388, 1668, mode(2048, 1536), 865.3},
      {2388, 1668, mode(2560, 1600), 1213.4},
      // 30 Hz against a current 60 Hz costs 50 more.
      {1920, 1200, mode(1920, 1200, 30), 50.0},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(mode_score(c.mode, c.w, c.h, 60), c.score, 0.05)
        << c.mode.width << "x" << c.mode.height << " for " << c.w << "x" << c.h;
  }
}

TEST(BestMode, LowestScoreFirstOfEqualsAndOnly32Bit) {
  const std::vector<DisplayMode> ipad = {mode(1920, 1080), mode(2560, 1440), mode(1920, 1440),
                                         mode(1600, 1200), mode(2048, 1536), mode(2560, 1600)};
  EXPECT_EQ(best_mode(ipad, 2388, 1668, 60)->width, 2048u);
  // Equal scores: the one enumerated first (ids differ, sizes equal).
  std::vector<DisplayMode> twins = {mode(1280, 800), mode(1280, 800)};
  twins[1].id = 7;
  EXPECT_EQ(best_mode(twins, 1280, 800, 60), &twins[0]);
  // A 16-bit exact fit loses to any 32-bit mode; no 32-bit mode at all gives none.
  const std::vector<DisplayMode> mixed = {mode(1280, 800, 60, 16), mode(1920, 1080)};
  EXPECT_EQ(best_mode(mixed, 1280, 800, 60)->width, 1920u);
  EXPECT_EQ(best_mode({mode(1280, 800, 60, 16)}, 1280, 800, 60), nullptr);
  // The faster of two equal sizes wins only through the slower one's penalty.
  EXPECT_EQ(best_mode({mode(1280, 800, 30), mode(1280, 800, 60)}, 1280, 800, 60)->refresh_hz, 60u);
}

TEST_F(DisplayControllerTest, SwitchesToTheBestModeOnceAndLogsIt) {
  display.offered = {mode(1920, 1080), mode(1920, 1200), mode(2560, 1600), mode(1680, 1050)};
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(controller.match_mode(1920, 1200));
  // Asked again: the current size is already the best, nothing is switched.
  EXPECT_FALSE(controller.match_mode(1920, 1200));
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(display.switches.size(), 1u);
  EXPECT_EQ(display.current.height, 1200u);
  EXPECT_THAT(log, ::testing::HasSubstr("display mode -> 1920x1200 @60Hz"));
  EXPECT_TRUE(controller.mode_changed());
}

TEST_F(DisplayControllerTest, ABetterRefreshRateAloneNeverSwitches) {
  display.current = mode(1280, 800, 30);
  display.offered = {mode(1280, 800, 30), mode(1280, 800, 60)};
  EXPECT_FALSE(controller.match_mode(1280, 800));
  EXPECT_TRUE(display.switches.empty());
}

TEST_F(DisplayControllerTest, RefusedSwitchIsLoggedAndLeavesNothingToRestore) {
  display.offered = {mode(1280, 800)};
  display.refuse_with = 3;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(controller.match_mode(1280, 800));
  controller.restore();
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, ::testing::HasSubstr("ChangeDisplaySettingsEx failed (3)"));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("restored")));
  EXPECT_EQ(display.mode_restores, 0);
}

TEST_F(DisplayControllerTest, ScaleReportAndClamping) {
  display.scale(-4, 0, 3);
  EXPECT_EQ(controller.scale_report(), "current 200%, recommended 200%, allowed 100%..300%");
  display.scale(-1, 5, 3);  // current above the maximum: brought down to it
  EXPECT_EQ(controller.current_scale_percent(), 200);
  display.scale(-11, 0, 2);  // indices beyond the ladder read -1
  EXPECT_EQ(controller.scale_report(), "current 500%, recommended 500%, allowed 100%..-1%");
  display.scale_known = false;
  EXPECT_EQ(controller.scale_report(), "unavailable");
  EXPECT_EQ(controller.current_scale_percent(), 0);
  EXPECT_FALSE(controller.set_scale_percent(150));
}

TEST_F(DisplayControllerTest, SetScaleTakesTheNearestAllowedStepTheLowerOnTies) {
  const struct {
    int min, max, percent, step;
  } cases[] = {
      {-1, 5, 212, 3},    // 200 %
      {-1, 5, 214, 4},    // 225 %
      {0, 11, 275, 6},    // 250 % and 300 % equally near: 250 %
      {0, 11, 112, 0},    // 100 %
      {-1, 2, 400, 2},    // 175 %, the highest allowed
      {-2, 3, 0, 0},      // 0 = the recommended 150 %
      {-3, -4, 300, -3},  // nothing above 100 % allowed
  };
  for (const auto& c : cases) {
    display.scale(c.min, 0, c.max);
    display.steps_set.clear();
    display.targets_set.clear();
    EXPECT_TRUE(controller.set_scale_percent(c.percent)) << c.percent;
    EXPECT_THAT(display.steps_set, ::testing::ElementsAre(c.step)) << c.percent;
    EXPECT_THAT(display.targets_set, ::testing::Each(display.target.token)) << c.percent;
  }
}

TEST_F(DisplayControllerTest, ScalingFollowsTheClientsPointsOutsideTheDeadBand) {
  display.current = mode(2560, 1600);
  display.scale(-1, -1, 5);  // 100 %
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(controller.apply_client_display(2388, 1668, 2.0));  // target 214 %
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, ::testing::HasSubstr("display scaling 100% -> 225%"));
  EXPECT_EQ(controller.saved_scale(), 100);

  // 200 % in force and a target of 210 %: within the dead band.
  FakeDisplay near;
  near.current = mode(2100, 1600);
  near.offered = {mode(2100, 1600)};
  near.scale(-1, 3, 5);
  DisplayController other(near);
  EXPECT_FALSE(other.apply_client_display(2000, 1500, 2.0));
  EXPECT_TRUE(near.steps_set.empty());
}

TEST_F(DisplayControllerTest, RestoreUndoesModeThenScalingToTheStateBeforeTheFirstChange) {
  display.offered = {mode(1280, 800), mode(1920, 1080), mode(2560, 1600)};
  display.scale(-1, -1, 5);                                       // 100 %
  EXPECT_TRUE(controller.apply_client_display(1280, 800, 1.0));   // mode only
  EXPECT_TRUE(controller.apply_client_display(1920, 1080, 2.0));  // mode and scaling (200 %)
  EXPECT_TRUE(controller.scaling_changed());
  EXPECT_EQ(controller.saved_scale(), 100);
  ::testing::internal::CaptureStderr();
  controller.restore();
  controller.restore();  // nothing left: silent
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.find("display mode restored"), log.rfind("display mode restored"));
  ASSERT_NE(log.find("display scaling restored to 100%"), std::string::npos) << log;
  EXPECT_LT(log.find("display mode restored"), log.find("display scaling restored to 100%"));
  EXPECT_EQ(display.mode_restores, 1);
  EXPECT_EQ(display.current_step, -1);
  EXPECT_EQ(display.undone, 1);
  EXPECT_FALSE(controller.mode_changed());
  EXPECT_FALSE(controller.scaling_changed());
  EXPECT_EQ(controller.saved_scale(), 0);
}

TEST_F(DisplayControllerTest, UnknownScalingIsNeverChangedNorRestored) {
  display.offered = {mode(1280, 800)};
  display.scale_known = false;
  EXPECT_TRUE(controller.apply_client_display(1280, 800, 4.0));
  EXPECT_FALSE(controller.scaling_changed());
  EXPECT_TRUE(display.steps_set.empty());
}

TEST(DisplayControllerWithoutDisplay, ChangesNothing) {
  DisplayController none;
  EXPECT_FALSE(none.apply_client_display(1280, 800, 2.0));
  EXPECT_EQ(none.scale_report(), "unavailable");
  none.restore();
}

}  // namespace
}  // namespace tolvi
