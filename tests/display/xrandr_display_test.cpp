// The RandR backend and its guardian against a private Xvfb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "display/display_controller.h"
#include "platform/display.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/xrandr_state.h"
#include "support/eventually.h"
#include "support/xvfb_desktop.h"

namespace tolvi {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Size = std::pair<unsigned, unsigned>;

// The output Xvfb offers.
constexpr char kOutput[] = "screen";

class XrandrDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(desktop.ready());
    setenv("DISPLAY", desktop.name().c_str(), 1);
    char pattern[] = "/tmp/tolvi-display-XXXXXX";
    folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(folder); }

  std::unique_ptr<platform::DisplayBackend> backend() {
    return platform::make_display_backend(folder);
  }

  // Polls for what a guardian does in the background; the bound only keeps a broken
  // guardian from hanging the suite.
  bool eventually(const std::function<bool()>& done) {
    return testing::eventually(done, std::chrono::seconds(5));
  }

  testing::XvfbDesktop desktop;
  fs::path folder;
};

TEST_F(XrandrDisplayTest, OffersTheOutputsModesAt32BitsWithTheModeLinesRefresh) {
  std::unique_ptr<platform::DisplayBackend> display = backend();
  ASSERT_TRUE(display);
  platform::DisplayMode current;
  ASSERT_TRUE(display->current_mode(kOutput, current));
  EXPECT_EQ(current.width, 1920u);
  EXPECT_EQ(current.height, 1080u);
  EXPECT_EQ(current.refresh_hz, 60u);
  bool found = false;
  for (const platform::DisplayMode& mode : display->modes(kOutput)) {
    EXPECT_EQ(mode.bits_per_pixel, 32u);
    if (mode.width == 1280 && mode.height == 800) found = mode.refresh_hz == 60;
  }
  EXPECT_TRUE(found);
}

TEST_F(XrandrDisplayTest, MatchingShrinksAndGrowsTheScreenAndRestoreReturns) {
  std::unique_ptr<platform::DisplayBackend> display = backend();
  ASSERT_TRUE(display);
  DisplayController controller(*display);
  controller.set_device_name(kOutput);
  EXPECT_TRUE(controller.apply_client_display(1280, 800, 1.0));
  EXPECT_EQ(desktop.size(), Size(1280, 800));
  EXPECT_TRUE(fs::exists(platform::change_record_path(folder, desktop.name())));
  EXPECT_TRUE(controller.apply_client_display(2560, 1440, 1.0));
  EXPECT_EQ(desktop.size(), Size(2560, 1440));
  ::testing::internal::CaptureStderr();
  controller.restore();
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("display mode restored"));
  EXPECT_EQ(desktop.size(), Size(1920, 1080));
  EXPECT_FALSE(fs::exists(platform::change_record_path(folder, desktop.name())));
}

TEST_F(XrandrDisplayTest, ALocalChangeAfterTheSwitchIsNotUndone) {
  std::unique_ptr<platform::DisplayBackend> display = backend();
  ASSERT_TRUE(display);
  DisplayController controller(*display);
  controller.set_device_name(kOutput);
  ASSERT_TRUE(controller.apply_client_display(1280, 800, 1.0));
  desktop.switch_to(2560, 1440);
  controller.restore();
  EXPECT_EQ(desktop.size(), Size(2560, 1440));
}

TEST_F(XrandrDisplayTest, ScalingIsXftDpiAndRestoreBringsBackTheUsersResources) {
  desktop.set_resources("Xcursor.size:\t24\n");
  std::unique_ptr<platform::DisplayBackend> display = backend();
  ASSERT_TRUE(display);
  DisplayController controller(*display);
  controller.set_device_name(kOutput);
  // Xvfb reports no physical size for its output: 100 % is recommended.
  EXPECT_EQ(controller.scale_report(), "current 100%, recommended 100%, allowed 100%..500%");
  // A 1920-pixel view at 2 pixels per point on 1920 pixels: 200 %, that is 192 dpi.
  EXPECT_TRUE(controller.apply_client_display(1920, 1080, 2.0));
  EXPECT_THAT(desktop.resources(), HasSubstr("Xft.dpi:\t192\n"));
  EXPECT_THAT(desktop.resources(), HasSubstr("Xcursor.size:\t24\n"));
  EXPECT_EQ(controller.current_scale_percent(), 200);
  controller.restore();
  EXPECT_EQ(desktop.resources(), "Xcursor.size:\t24\n");
  // The ladder both ways: 150 % is 144 dpi, and 144 dpi reads as 150 %.
  EXPECT_TRUE(controller.set_scale_percent(150));
  EXPECT_THAT(desktop.resources(), HasSubstr("Xft.dpi:\t144\n"));
  EXPECT_EQ(controller.current_scale_percent(), 150);
}

// The process is killed alone, or with its whole process group (as the service ends a stuck
// agent): the guardian, in a session of its own, outlives both.
TEST_F(XrandrDisplayTest, GuardianUndoesTheChangesOfAKilledProcess) {
  for (const bool whole_group : {false, true}) {
    SCOPED_TRACE(whole_group ? "process group killed" : "process killed");
    platform::UniqueFd ready_read, ready_write;
    ASSERT_TRUE(platform::make_pipe(ready_read, ready_write));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setpgid(0, 0);
      ready_read.reset();
      std::unique_ptr<platform::DisplayBackend> display = backend();
      DisplayController controller(*display);
      controller.set_device_name(kOutput);
      const bool changed = controller.apply_client_display(1280, 800, 2.0);
      const char byte = changed ? 1 : 0;
      (void)!write(ready_write.get(), &byte, 1);
      pause();
      _exit(0);
    }
    ready_write.reset();
    char byte = 0;
    ASSERT_EQ(read(ready_read.get(), &byte, 1), 1);
    ready_read.reset();
    ASSERT_EQ(byte, 1);
    EXPECT_EQ(desktop.size(), Size(1280, 800));
    EXPECT_THAT(desktop.resources(), HasSubstr("Xft.dpi:\t192"));
    kill(whole_group ? -child : child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(eventually([&] { return desktop.size() == Size(1920, 1080); }));
    EXPECT_TRUE(eventually([&] { return desktop.resources().empty(); })) << desktop.resources();
    EXPECT_TRUE(eventually(
        [&] { return !fs::exists(platform::change_record_path(folder, desktop.name())); }));
  }
}

TEST_F(XrandrDisplayTest, RecordLeftByADeadProcessIsReplayedAtStartUnlessTheUserChangedIt) {
  desktop.switch_to(1280, 800);
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  std::unique_ptr<platform::DisplayBackend> display = backend();
  ASSERT_TRUE(display);
  platform::DisplayMode original;
  for (const platform::DisplayMode& mode : display->modes(kOutput)) {
    if (mode.width == 1920) original = mode;
  }
  platform::DisplayChangeRecord record;
  record.owner = gone;
  record.display = desktop.name();
  record.output = kOutput;
  record.mode_saved = true;
  record.original_mode = original.id;
  record.original_width = 1920;
  record.original_height = 1080;
  record.mode_set = true;
  record.set_width = 1280;
  record.set_height = 800;
  const fs::path path = platform::change_record_path(folder, desktop.name());

  // The user has since chosen another mode: left alone, record dropped.
  desktop.switch_to(2560, 1440);
  ASSERT_TRUE(platform::write_change_record(path, record));
  EXPECT_FALSE(platform::recover_display_changes(folder).mode_restored);
  EXPECT_EQ(desktop.size(), Size(2560, 1440));
  EXPECT_FALSE(fs::exists(path));

  desktop.switch_to(1280, 800);
  ASSERT_TRUE(platform::write_change_record(path, record));
  // A record of a running process is its own.
  record.owner = getpid();
  const fs::path own = platform::change_record_path(folder, "other");
  ASSERT_TRUE(platform::write_change_record(own, record));
  EXPECT_TRUE(platform::recover_display_changes(folder).mode_restored);
  EXPECT_EQ(desktop.size(), Size(1920, 1080));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(fs::exists(own));
}

}  // namespace
}  // namespace tolvi
