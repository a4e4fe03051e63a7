#include "input/input_injector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <thread>

#include "fakes/recording_input_sink.h"
#include "input/input_desktop.h"
#include "input/scan_codes.h"

namespace tolvi {
namespace {

using platform::InputEvent;
using Batch = RecordingInputSink::Batch;

InputEvent mouse(std::uint32_t flags, std::int32_t data = 0, std::int32_t dx = 0,
                 std::int32_t dy = 0) {
  InputEvent e;
  e.flags = flags;
  e.mouse_data = data;
  e.dx = dx;
  e.dy = dy;
  return e;
}

InputEvent key(std::uint16_t scan_code, std::uint32_t flags) {
  InputEvent e;
  e.kind = InputEvent::Kind::Key;
  e.scan_code = scan_code;
  e.flags = flags;
  return e;
}

constexpr std::uint32_t kAbsoluteMove = 0xC001;
constexpr std::uint32_t kScan = 0x0008;
constexpr std::uint32_t kScanUp = 0x0008 | 0x0002;
constexpr std::uint32_t kScanExtended = 0x0008 | 0x0001;
constexpr std::uint32_t kScanUpExtended = 0x0008 | 0x0002 | 0x0001;

// An injector over a recording sink, counting its desktop checks.
struct Injector {
  explicit Injector(platform::VirtualScreen screen = {0, 0, 1920, 1080}) {
    auto owned = std::make_unique<RecordingInputSink>(screen);
    sink = owned.get();
    injector = std::make_unique<InputInjector>(std::move(owned), [this] { ++checks; });
  }
  RecordingInputSink* sink;
  int checks = 0;
  std::unique_ptr<InputInjector> injector;
};

TEST(InputInjectorMove, MapsTheStreamedPictureOntoTheVirtualScreen) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  struct Rect {
    std::int32_t left, top, right, bottom;
  };
  struct Case {
    const char* what;
    bool set_rect;
    Rect rect;
    platform::VirtualScreen screen;
    float x, y;
    std::int32_t nx, ny;
  };
  const Case cases[] = {
      {"second of two monitors, top left",
       true,
       {1920, 0, 3840, 1080},
       {0, 0, 3840, 1080},
       0,
       0,
       32776,
       0},
      {"second of two monitors, last pixel",
       true,
       {1920, 0, 3840, 1080},
       {0, 0, 3840, 1080},
       1,
       1,
       65535,
       65535},
      {"outside the picture is clamped",
       true,
       {1920, 0, 3840, 1080},
       {0, 0, 3840, 1080},
       -0.5f,
       2.0f,
       32776,
       65535},
      {"not a number is the first pixel",
       true,
       {1920, 0, 3840, 1080},
       {0, 0, 3840, 1080},
       kNaN,
       kNaN,
       32776,
       0},
      {"virtual screen left of the origin",
       true,
       {0, 0, 1920, 1080},
       {-1920, 0, 3840, 1080},
       0,
       0,
       32776,
       0},
      {"initial rectangle; halves away from zero",
       false,
       {},
       {0, 0, 1920, 1080},
       0.25f,
       0.5f,
       16384,
       32768},
      // 1 x 65535 / 6 = 10922.5: rounding half to even would give 10922.
      {"half rounds up", true, {1, 0, 2, 1}, {0, 0, 7, 7}, 0.5f, 0.5f, 10923, 0},
      {"a screen below 3 pixels counts 1", true, {1, 1, 2, 2}, {0, 0, 2, 2}, 0, 0, 65535, 65535},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Injector in(c.screen);
    if (c.set_rect)
      in.injector->set_target_rect(c.rect.left, c.rect.top, c.rect.right, c.rect.bottom);
    in.injector->mouse_move(c.x, c.y);
    EXPECT_EQ(in.sink->batches(), std::vector<Batch>{{mouse(kAbsoluteMove, 0, c.nx, c.ny)}});
  }
}

TEST(InputInjectorButton, SendsEachPressAndReleaseAndIgnoresUnknownButtons) {
  Injector in;
  in.injector->mouse_button(0, true);
  in.injector->mouse_button(0, true);   // already held: sent again
  in.injector->mouse_button(1, false);  // never pressed: sent all the same
  in.injector->mouse_button(2, true);
  in.injector->mouse_button(2, false);
  in.injector->mouse_button(3, true);
  in.injector->mouse_button(4, false);
  in.injector->mouse_button(5, true);
  const std::vector<Batch> expected = {
      {mouse(0x0002)}, {mouse(0x0002)},    {mouse(0x0010)},    {mouse(0x0020)},
      {mouse(0x0040)}, {mouse(0x0080, 1)}, {mouse(0x0100, 2)},
  };
  EXPECT_EQ(in.sink->batches(), expected);
  EXPECT_EQ(in.checks, 8);  // the ignored button is checked too
}

// Wheel messages given one after another to a fresh injector, and the batches they inject.
struct WheelCase {
  struct Message {
    float h, v;
    bool fine;
  };
  const char* what;
  std::vector<Message> messages;
  std::vector<Batch> expected;
};

void expect_wheel_batches(std::span<const WheelCase> cases) {
  for (const WheelCase& c : cases) {
    SCOPED_TRACE(c.what);
    Injector in;
    for (const WheelCase::Message& m : c.messages) in.injector->mouse_wheel(m.h, m.v, m.fine);
    EXPECT_EQ(in.sink->batches(), c.expected);
  }
}

TEST(InputInjectorWheel, ScalesNegatesAndCarriesRemainders) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  const WheelCase cases[] = {
      {"coarse 1.0 is a third of a notch",
       {{0, 1, false}, {0, 1, false}, {0, 1, false}},
       {{mouse(0x0800, 40)}, {mouse(0x0800, 40)}, {mouse(0x0800, 40)}}},
      {"fine amounts add up",
       {{0, 0.1f, true}, {0, 0.1f, true}, {0, 0.1f, true}},
       {{mouse(0x0800, 1)}}},
      {"downwards the same way",
       {{0, -0.1f, true}, {0, -0.1f, true}, {0, -0.1f, true}},
       {{mouse(0x0800, -1)}}},
      {"both axes in one batch, vertical first, horizontal negated",
       {{1, 1, false}},
       {{mouse(0x0800, 40), mouse(0x1000, -40)}}},
      {"horizontal alone", {{-0.5f, 0, false}}, {{mouse(0x1000, 20)}}},
      {"carried fraction joins the next message",
       {{0, 0.15f, true}, {0, 3, false}},
       {{mouse(0x0800, 120)}}},
      {"not a number or infinity is no movement", {{kNaN, kInf, false}, {0, 0, false}}, {}},
  };
  expect_wheel_batches(cases);
}

// One message moves the wheel by at most 100 notches (12,000 units), both axes together; the
// rest, fraction included, is dropped, so a huge client number cannot become a long loop.
TEST(InputInjectorWheel, OneMessageMovesAtMostAHundredNotches) {
  constexpr float kMax = std::numeric_limits<float>::max();
  const WheelCase cases[] = {
      {"exactly a hundred notches pass unchanged", {{0, 300, false}}, {{mouse(0x0800, 12000)}}},
      {"huge amount up", {{0, 1e30f, false}}, {{mouse(0x0800, 12000)}}},
      {"huge amount down", {{0, -1e30f, false}}, {{mouse(0x0800, -12000)}}},
      {"largest float on the fine scale", {{0, kMax, true}}, {{mouse(0x0800, 12000)}}},
      {"huge horizontal, negated", {{1e30f, 0, false}}, {{mouse(0x1000, -12000)}}},
      {"vertical first, horizontal gets the rest",
       {{-1e30f, 150, false}},
       {{mouse(0x0800, 6000), mouse(0x1000, 6000)}}},
      {"both huge: the vertical takes it all", {{1e30f, 1e30f, false}}, {{mouse(0x0800, 12000)}}},
      // 1000.01 x 40 = 40000.4: clipped, and the 0.4 does not join the next 0.6.
      {"a clipped amount carries no fraction",
       {{0, 1000.01f, false}, {0, 0.15f, true}},
       {{mouse(0x0800, 12000)}}},
      {"the next message after a clipped one is whole again",
       {{0, 1e30f, false}, {0, 3, false}},
       {{mouse(0x0800, 12000)}, {mouse(0x0800, 120)}}},
  };
  expect_wheel_batches(cases);
}

TEST(InputInjectorKey, TranslatesUsagesToScanCodes) {
  struct Case {
    std::uint16_t usage;
    bool pressed;
    std::vector<Batch> expected;
  };
  const Case cases[] = {
      {40, true, {{key(0x1C, kScan)}}},              // Enter
      {80, false, {{key(0x4B, kScanUpExtended)}}},   // Left arrow
      {4, true, {{key(0x1E, kScan)}}},               // A
      {29, true, {{key(0x2C, kScan)}}},              // Z
      {30, true, {{key(0x02, kScan)}}},              // 1
      {39, false, {{key(0x0B, kScanUp)}}},           // 0
      {58, true, {{key(0x3B, kScan)}}},              // F1
      {67, true, {{key(0x44, kScan)}}},              // F10
      {69, true, {{key(0x58, kScan)}}},              // F12
      {104, true, {{key(0x64, kScan)}}},             // F13
      {111, true, {{key(0x6B, kScan)}}},             // F20
      {50, true, {{key(0x2B, kScan)}}},              // non-US hash, same key as backslash
      {70, true, {{key(0x37, kScanExtended)}}},      // Print Screen
      {85, true, {{key(0x37, kScan)}}},              // keypad asterisk: same code, not extended
      {84, true, {{key(0x35, kScanExtended)}}},      // keypad slash
      {88, true, {{key(0x1C, kScanExtended)}}},      // keypad Enter
      {98, true, {{key(0x52, kScan)}}},              // keypad 0
      {229, true, {{key(0x36, kScan)}}},             // right Shift
      {230, false, {{key(0x38, kScanUpExtended)}}},  // right Alt
      {231, true, {{key(0x5C, kScanExtended)}}},     // right GUI
      {72, true, {}},                                // Pause
      {102, true, {}},                               // Power
      {0, true, {}},
      {146, true, {}},
      {260, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.usage);
    Injector in;
    in.injector->key_event(c.usage, c.pressed);
    EXPECT_EQ(in.sink->batches(), c.expected);
    EXPECT_EQ(in.checks, 1);
  }
}

TEST(InputInjectorRelease, KeysAscendingThenButtonsAscending) {
  Injector in;
  for (std::uint16_t usage : {225, 4, 229, 224, 72}) in.injector->key_event(usage, true);
  in.injector->key_event(5, true);
  in.injector->key_event(5, true);
  in.injector->key_event(5, false);  // pressed twice, released once: no longer held
  for (std::uint8_t button : {4, 1, 0, 7}) in.injector->mouse_button(button, true);
  in.sink->clear();

  in.injector->release_all();
  const std::vector<Batch> expected = {
      {key(0x1E, kScanUp)},  // 4 A
      {key(0x1D, kScanUp)},  // 224 left Control
      {key(0x2A, kScanUp)},  // 225 left Shift
      {key(0x36, kScanUp)},  // 229 right Shift
      {mouse(0x0004)},       // left
      {mouse(0x0010)},       // right
      {mouse(0x0100, 2)},    // second extra button
  };
  EXPECT_EQ(in.sink->batches(), expected);

  in.sink->clear();
  in.injector->release_all();
  EXPECT_TRUE(in.sink->batches().empty());
}

TEST(InputInjector, WithoutASinkKeepsTrackAndInjectsNothing) {
  InputInjector injector(nullptr, [] {});
  injector.key_event(4, true);
  injector.mouse_move(0.5f, 0.5f);
  injector.mouse_wheel(0, 3, false);
  injector.release_all();
}

TEST(InputInjector, LogsALostDisplayOnce) {
  Injector in;
  in.sink->working = false;
  testing::internal::CaptureStderr();
  in.injector->key_event(4, true);
  in.injector->key_event(4, false);
  in.sink->working = true;
  in.injector->key_event(4, true);
  in.sink->working = false;
  in.injector->key_event(4, false);
  const std::string log = testing::internal::GetCapturedStderr();
  const std::string line = "input: the desktop cannot take input; events are dropped";
  const std::size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos);
  // Once per loss: the second loss (after a working injection) is logged again.
  const std::size_t second = log.find(line, first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(log.find(line, second + 1), std::string::npos);
}

TEST(InputInjector, TargetRectangleChangesWhileInputFlows) {
  Injector in({0, 0, 3840, 1080});
  std::thread capture([&] {
    for (int i = 0; i < 2000; ++i) {
      if (i % 2) {
        in.injector->set_target_rect(0, 0, 1920, 1080);
      } else {
        in.injector->set_target_rect(1920, 0, 3840, 1080);
      }
    }
  });
  for (int i = 0; i < 2000; ++i) in.injector->mouse_move(0, 0);
  capture.join();
  for (const Batch& b : in.sink->batches()) {
    ASSERT_EQ(b.size(), 1u);
    EXPECT_TRUE(b[0].dx == 0 || b[0].dx == 32776) << b[0].dx;
  }
}

// Runs f on a thread of its own, so it starts with a fresh thread-local last check.
template <typename F>
void on_new_thread(F f) {
  std::thread t(f);
  t.join();
}

TEST(DesktopCheckThrottle, AgentChecksAtMostEveryQuarterSecondPerThread) {
  struct Case {
    const char* what;
    RunMode mode;
    std::vector<std::uint64_t> times;
    int expected_checks;
  };
  const Case cases[] = {
      {"tray never checks", RunMode::Tray, {1000, 2000, 3000}, 0},
      {"command never checks", RunMode::Command, {1000}, 0},
      {"agent: first, then after 250 ms", RunMode::Agent, {1000, 1100, 1260}, 2},
      {"agent: exactly 250 ms is enough", RunMode::Agent, {1000, 1250, 1499}, 2},
      {"agent: the first check happens even at time 0", RunMode::Agent, {0, 100}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int checks = 0;
    on_new_thread([&] {
      for (std::uint64_t t : c.times) desktop_check_throttle(c.mode, t, [&] { ++checks; });
    });
    EXPECT_EQ(checks, c.expected_checks);
  }
}

TEST(DesktopCheckThrottle, EachThreadKeepsItsOwnLastCheck) {
  int checks = 0;
  const auto follow = [&] { ++checks; };
  on_new_thread([&] {
    desktop_check_throttle(RunMode::Agent, 1000, follow);
    on_new_thread([&] { desktop_check_throttle(RunMode::Agent, 1010, follow); });
    desktop_check_throttle(RunMode::Agent, 1020, follow);
  });
  EXPECT_EQ(checks, 2);
}

TEST(DesktopCheckThrottle, ReleasesPassTheCheckToo) {
  Injector in;
  in.injector->key_event(4, true);
  in.injector->mouse_button(0, true);
  in.checks = 0;
  in.injector->release_all();
  EXPECT_EQ(in.checks, 2);
}

}  // namespace
}  // namespace tolvi
