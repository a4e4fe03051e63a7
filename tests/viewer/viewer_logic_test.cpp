#include "viewer_logic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host_address.h"

namespace tolvi::viewer {
namespace {

TEST(Letterbox, KeepsThePictureAspectAndCentresIt) {
  struct Case {
    int ww, wh, pw, ph;
    Rect expected;
  };
  const Case cases[] = {
      {1920, 1080, 1920, 1080, {0, 0, 1920, 1080}},  // exact fit
      {800, 600, 1280, 720, {0, 75, 800, 450}},      // bands top and bottom
      {1000, 500, 1280, 720, {56, 0, 888, 500}},     // bands left and right
      {640, 480, 4, 3, {0, 0, 640, 480}},            // small picture scaled up
      {3, 1000, 1920, 1080, {0, 499, 3, 1}},         // never narrower than a pixel
  };
  for (const Case& c : cases) {
    const Rect r = letterbox(c.ww, c.wh, c.pw, c.ph);
    EXPECT_EQ(r.x, c.expected.x) << c.ww << "x" << c.wh;
    EXPECT_EQ(r.y, c.expected.y) << c.ww << "x" << c.wh;
    EXPECT_EQ(r.w, c.expected.w) << c.ww << "x" << c.wh;
    EXPECT_EQ(r.h, c.expected.h) << c.ww << "x" << c.wh;
  }
  EXPECT_EQ(letterbox(800, 600, 0, 720).w, 0);
  EXPECT_EQ(letterbox(0, 600, 1280, 720).w, 0);
}

TEST(NormalisePointer, EdgesMapToZeroAndOneAndBandsAreOutside) {
  const Rect picture{0, 75, 800, 450};
  float x = -1, y = -1;
  ASSERT_TRUE(normalise_pointer(picture, 0.5, 75.5, x, y));  // centre of the first pixel
  EXPECT_FLOAT_EQ(x, 0.0f);
  EXPECT_FLOAT_EQ(y, 0.0f);
  ASSERT_TRUE(normalise_pointer(picture, 799.5, 524.5, x, y));  // centre of the last pixel
  EXPECT_FLOAT_EQ(x, 1.0f);
  EXPECT_FLOAT_EQ(y, 1.0f);
  ASSERT_TRUE(normalise_pointer(picture, 400, 300, x, y));
  EXPECT_NEAR(x, 0.5, 0.002);
  EXPECT_NEAR(y, 0.5, 0.002);
  // Integer positions at the very edge stay inside 0..1.
  ASSERT_TRUE(normalise_pointer(picture, 0, 75, x, y));
  EXPECT_FLOAT_EQ(x, 0.0f);
  // In the letterbox bands, or beyond the window: nothing to send.
  EXPECT_FALSE(normalise_pointer(picture, 400, 74.9, x, y));
  EXPECT_FALSE(normalise_pointer(picture, 400, 525, x, y));
  EXPECT_FALSE(normalise_pointer(picture, 800, 300, x, y));
  EXPECT_FALSE(normalise_pointer(Rect{}, 0, 0, x, y));
}

TEST(ResizeDebounce, FirstSizeAtOnceThenOnlySettledChanges) {
  ResizeDebounce d;
  int w = 0, h = 0;
  d.resized(1280, 720, 1000);
  ASSERT_TRUE(d.due(1000, w, h));
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 720);
  EXPECT_FALSE(d.due(5000, w, h)) << "an unchanged size is not asked for again";

  // A drag: many sizes in quick succession, then quiet.
  for (int i = 0; i < 20; ++i) {
    d.resized(1280 - 10 * i, 720 - 5 * i, 6000 + 20 * static_cast<std::uint64_t>(i));
    EXPECT_FALSE(d.due(6000 + 20 * static_cast<std::uint64_t>(i), w, h)) << i;
  }
  EXPECT_FALSE(d.due(6380 + ResizeDebounce::kQuietMs - 1, w, h));
  ASSERT_TRUE(d.due(6380 + ResizeDebounce::kQuietMs, w, h));
  EXPECT_EQ(w, 1090);
  EXPECT_EQ(h, 625);

  // Dragged away and back to the size already sent: nothing new to ask for.
  d.resized(1000, 600, 9000);
  d.resized(1090, 625, 9010);
  EXPECT_FALSE(d.due(20000, w, h));

  // A new connection needs the size again, at once.
  d.reset();
  EXPECT_TRUE(d.due(20001, w, h));
}

TEST(ClipboardEcho, SizeEmptyAndEchoRules) {
  ClipboardEcho echo;
  EXPECT_FALSE(echo.local_changed(""));
  EXPECT_TRUE(echo.local_changed("hello"));
  EXPECT_FALSE(echo.local_changed("hello")) << "the same text twice goes once";
  // A text from the host lands on the local clipboard; the change that causes comes back and
  // must not be sent to the host.
  EXPECT_EQ(echo.host_sent("abc"), "abc");
  EXPECT_FALSE(echo.local_changed("abc"));
  EXPECT_TRUE(echo.local_changed("hello")) << "a text other than the last crosses again";
  // The host's text ends at its first NUL byte.
  EXPECT_EQ(echo.host_sent(std::string("ab\0cd", 5)), "ab");
  EXPECT_FALSE(echo.local_changed("ab"));
  EXPECT_TRUE(echo.local_changed(std::string(ClipboardEcho::kMaxClipboardBytes, 'x')));
  EXPECT_FALSE(echo.local_changed(std::string(ClipboardEcho::kMaxClipboardBytes + 1, 'y')));
}

TEST(Keys, ScancodesOfTheKeyboardPageAreUsages) {
  EXPECT_EQ(usage_for_scancode(4), 4);        // A
  EXPECT_EQ(usage_for_scancode(0x4D), 0x4D);  // End
  EXPECT_EQ(usage_for_scancode(0xE3), 0xE3);  // left GUI
  EXPECT_EQ(usage_for_scancode(0xE7), 0xE7);  // right GUI
  EXPECT_EQ(usage_for_scancode(0), 0);        // unknown
  EXPECT_EQ(usage_for_scancode(3), 0);        // below the page's keys
  EXPECT_EQ(usage_for_scancode(0xE8), 0);     // SDL's own codes above the page
  EXPECT_EQ(usage_for_scancode(258), 0);      // SDL's media keys
}

TEST(Wheel, NotchesCoarseFractionsFineHorizontalNegated) {
  WheelAmounts a = wheel_amounts(0, 1);
  EXPECT_FALSE(a.fine);
  EXPECT_FLOAT_EQ(a.vertical, 3.0f) << "one notch is 3.0, 120 wheel units on the host";
  EXPECT_FLOAT_EQ(a.horizontal, 0.0f);
  a = wheel_amounts(0, 0.25f);
  EXPECT_TRUE(a.fine);
  EXPECT_FLOAT_EQ(a.vertical, 7.5f) << "a quarter notch on the ten times finer scale";
  a = wheel_amounts(2, 0);
  EXPECT_FALSE(a.fine);
  EXPECT_FLOAT_EQ(a.horizontal, -6.0f) << "scrolling right is negative on the wire";
}

TEST(Buttons, SdlNumbersToTheWire) {
  const int expected[] = {-1, 0, 2, 1, 3, 4, -1, -1};  // SDL 0 (none) to 7
  for (int sdl = 0; sdl < 8; ++sdl) EXPECT_EQ(wire_button(sdl), expected[sdl]) << sdl;
}

TEST(Overlay, FiguresOverAnIntervalAndAcrossAReconnect) {
  const LinkCounters before{100, 500000, 3, 400.0, 2.0};
  const LinkCounters now{160, 1250000, 5, 700.0, 2.5};
  OverlayFigures f = overlay_figures(before, now, 2000);
  EXPECT_DOUBLE_EQ(f.fps, 30.0);
  EXPECT_DOUBLE_EQ(f.kbps, 3000.0);  // 750,000 bytes in 2 s
  EXPECT_DOUBLE_EQ(f.decode_ms, 5.0);
  EXPECT_EQ(f.dropped, 5u);
  EXPECT_DOUBLE_EQ(f.rtt_ms, 2.5);
  // A new connection's counters start again below the old reading: counted from zero.
  f = overlay_figures(now, LinkCounters{10, 80000, 0, 20.0, -1}, 1000);
  EXPECT_DOUBLE_EQ(f.fps, 10.0);
  EXPECT_DOUBLE_EQ(f.kbps, 640.0);
  EXPECT_EQ(overlay_text(f).find("rtt -"), overlay_text(f).find("rtt "));
  EXPECT_DOUBLE_EQ(overlay_figures(before, now, 0).fps, 0.0);  // no interval, no rate
  f.asked_fps = 30;
  EXPECT_NE(overlay_text(f).find(rate_note(30)), std::string::npos);
  EXPECT_TRUE(rate_note(0).empty());
}

// Decode times (local) against capture times (host clock, far off the local one): pictures in
// time are shown, a late one is dropped from presentation, and the window is never held on
// one picture longer than the longest hold.
TEST(PresentationGate, DropsLatePicturesButNeverFreezes) {
  constexpr std::uint64_t kOffset = 7'000'000'000;  // the host's clock is far ahead
  constexpr std::uint64_t kFrameUs = 16667;
  PresentationGate gate;
  std::uint64_t host = kOffset;
  std::uint64_t local = 0;
  const auto picture = [&](std::uint64_t transit_us) {
    host += kFrameUs;
    local = std::max(local + 1, host - kOffset + transit_us);
    return gate.decoded(host, local);
  };
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(picture(8000)) << i;  // steady: all shown
  EXPECT_TRUE(picture(8000 + 40000));   // 40 ms behind: still in time
  EXPECT_FALSE(picture(8000 + 80000));  // 80 ms behind: late, not shown
  EXPECT_FALSE(picture(8000 + 70000));
  // A decoder that stays behind: late pictures are still shown, one per longest hold.
  int shown = 0;
  for (int i = 0; i < 60; ++i) shown += picture(8000 + 120000) ? 1 : 0;  // one second
  EXPECT_GE(shown, 3);
  EXPECT_LE(shown, 5);
  // The backlog drains (pictures decoded back to back), then all are in time again.
  for (int i = 0; i < 10; ++i) picture(8000);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(picture(8000)) << i;
}

TEST(PresentationGate, BaselineFollowsAPathThatGotSlower) {
  PresentationGate gate;
  std::uint64_t t = 0;
  // 10 ms transit, then the path itself takes 100 ms for good (a longer route): after the
  // old baseline has aged out, pictures are in time again.
  for (int i = 0; i < 60; ++i, t += 16667) EXPECT_TRUE(gate.decoded(t, t + 10000));
  int shown_late = 0;
  for (int i = 0; i < 60 * 11; ++i, t += 16667) {
    const bool shown = gate.decoded(t, t + 100000);
    if (i >= 60 * 10) shown_late += shown ? 1 : 0;
  }
  EXPECT_EQ(shown_late, 60);
}

// One second a call: a decoder that cannot keep up for a few seconds lowers the rate (by
// halves, not below the lowest); single slow seconds and still seconds change nothing; once
// decoding would fit the full rate for long enough, the full rate is asked for again.
TEST(FrameRateGovernor, FollowsASlowDecoder) {
  using Second = FrameRateGovernor::Second;
  FrameRateGovernor g(60);
  const Second slow{60, 1500.0, 0};    // 25 ms a picture at 60 fps: 1.5 s of work a second
  const Second late{60, 500.0, 30};    // half the pictures late (a CPU hog beside it)
  const Second quick{30, 150.0, 0};    // 5 ms a picture: 60 fps would take 0.3 s a second
  const Second still{2, 10.0, 0};      // too few pictures to judge
  const Second fits{30, 330.0, 0};     // 11 ms a picture: 60 fps would take 0.66 s

  EXPECT_FALSE(g.second_passed(slow));
  EXPECT_FALSE(g.second_passed(quick));  // a run of slow seconds is broken
  EXPECT_FALSE(g.second_passed(slow));
  EXPECT_FALSE(g.second_passed(still));  // does not break the run
  EXPECT_FALSE(g.second_passed(late));
  EXPECT_TRUE(g.second_passed(slow));
  EXPECT_EQ(g.asked(), 30);
  EXPECT_TRUE(g.lowered());

  for (int i = 0; i < 12; ++i) EXPECT_FALSE(g.second_passed(fits)) << i;  // not enough room
  for (int i = 0; i < FrameRateGovernor::kFastSeconds - 1; ++i) {
    EXPECT_FALSE(g.second_passed(quick)) << i;
  }
  EXPECT_TRUE(g.second_passed(quick));
  EXPECT_EQ(g.asked(), 60);
  EXPECT_FALSE(g.lowered());
  for (int i = 0; i < 20; ++i) g.second_passed(quick);
  EXPECT_EQ(g.asked(), 60);  // at the full rate, fast seconds change nothing

  for (int i = 0; i < 30; ++i) g.second_passed(slow);
  EXPECT_EQ(g.asked(), FrameRateGovernor::kLowestFps);  // 60, 30, 15, then the floor
  g.reset(60);
  EXPECT_EQ(g.asked(), 60);
}

TEST(HostAddress, NamesPortsAndIpv6) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    std::uint16_t port;
  };
  const Case cases[] = {
      {"box", true, "box", client::kDefaultPort},
      {"10.0.0.2:6000", true, "10.0.0.2", 6000},
      {"[::1]:7000", true, "::1", 7000},
      {"[::1]", true, "::1", client::kDefaultPort},
      {"fe80::1", true, "fe80::1", client::kDefaultPort},
      {"box:0", false, "", 0},
      {"box:65536", false, "", 0},
      {"box:12x", false, "", 0},
      {":5960", false, "", 0},
      {"[::1", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host;
    std::uint16_t port = 0;
    ASSERT_EQ(client::split_host_port(c.text, host, port), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

}  // namespace
}  // namespace tolvi::viewer
