#include "viewer_logic.h"

#include <gtest/gtest.h>

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
