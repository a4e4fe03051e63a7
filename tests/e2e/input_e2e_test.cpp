// Input end to end on a private Xvfb: tolvi-client's actions go through tolvi-host --test-host
// into the X server, where a window of this test watches them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/test_host.h"
#include "support/xvfb_server.h"

// After GoogleTest: Xlib's macros would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace tolvi {
namespace {

using tolvi::testing::ChildProcess;
using tolvi::testing::file_shows;
using tolvi::testing::read_text_file;
using tolvi::testing::TestHost;
using tolvi::testing::XvfbServer;
using Seconds = std::chrono::duration<double>;

constexpr char kPassword[] = "input-e2e-secret";

std::string temp_path(const std::string& name) {
  return "/tmp/tolvi-input-e2e-" + std::to_string(getpid()) + "-" + name;
}

class InputEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<XvfbServer>("1280x720x24");
    ASSERT_FALSE(xvfb_->display().empty()) << "Xvfb did not start";
    host_log_ = temp_path("host.log");
    client_log_ = temp_path("client.log");
    host_ = std::make_unique<TestHost>(TOLVI_HOST_PROGRAM, kPassword, xvfb_->display(), host_log_);
    ASSERT_TRUE(host_->started()) << read_text_file(host_log_);
    port_ = host_->port();
    watch();
  }
  void TearDown() override {
    if (watcher_) XCloseDisplay(watcher_);
    host_.reset();
    if (HasFailure()) {
      std::printf("--- host log\n%s--- client log\n%s", read_text_file(host_log_).c_str(),
                  read_text_file(client_log_).c_str());
    }
    std::remove(host_log_.c_str());
    std::remove(client_log_.c_str());
  }

  // A focused window over the whole screen that reports key presses.
  void watch() {
    watcher_ = XOpenDisplay(xvfb_->display().c_str());
    ASSERT_NE(watcher_, nullptr);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask;
    window_ =
        XCreateWindow(watcher_, DefaultRootWindow(watcher_), 0, 0, 1280, 720, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(watcher_, window_);
    XSync(watcher_, False);
    XSetInputFocus(watcher_, window_, RevertToParent, CurrentTime);
    XSync(watcher_, False);
  }

  std::unique_ptr<ChildProcess> client(std::vector<std::string> actions) {
    std::vector<std::string> args = {TOLVI_CLIENT_PROGRAM, "127.0.0.1:" + port_, "--password",
                                     kPassword};
    args.insert(args.end(), actions.begin(), actions.end());
    return std::make_unique<ChildProcess>(args, xvfb_->display(), client_log_);
  }

  // Text of the key presses the window has seen, until none comes for a moment.
  std::string typed(double seconds) {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + Seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      while (XPending(watcher_)) {
        XEvent e;
        XNextEvent(watcher_, &e);
        if (e.type != KeyPress) continue;
        char buffer[8];
        KeySym keysym = NoSymbol;
        const int n = XLookupString(&e.xkey, buffer, sizeof buffer, &keysym, nullptr);
        text.append(buffer, n);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return text;
  }

  std::pair<int, int> pointer(unsigned* mask = nullptr) {
    Window root, child;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned m = 0;
    XQueryPointer(watcher_, DefaultRootWindow(watcher_), &root, &child, &x, &y, &wx, &wy, &m);
    if (mask) *mask = m;
    return {x, y};
  }

  // Waits (up to 2 s) for the left button to be down; `mask` is the last pointer state.
  bool left_button_goes_down(unsigned& mask) {
    for (int i = 0; i < 200; ++i) {
      pointer(&mask);
      if (mask & Button1Mask) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  bool key_held(KeySym keysym) {
    const KeyCode k = XKeysymToKeycode(watcher_, keysym);
    char keys[32];
    XQueryKeymap(watcher_, keys);
    return (keys[k / 8] & (1 << (k % 8))) != 0;
  }

  std::unique_ptr<XvfbServer> xvfb_;
  std::unique_ptr<TestHost> host_;
  std::string port_;
  std::string host_log_;
  std::string client_log_;
  Display* watcher_ = nullptr;
  Window window_ = 0;
};

TEST_F(InputEndToEnd, ClientMovesThePointerAndTypes) {
  auto c = client({"--move", "0.5", "0.5", "--type", "Hello, World!", "--key", "40", "down",
                   "--key", "40", "up"});
  ASSERT_EQ(c->wait(20), 0) << read_text_file(client_log_);
  EXPECT_EQ(typed(1.0), "Hello, World!\r");
  // No stream yet, so no captured output: positions are taken over the initial 1920x1080
  // rectangle: 959.5, 539.5, which are pixels of this 1280x720 screen too.
  EXPECT_EQ(pointer(), std::make_pair(959, 539));
}

TEST_F(InputEndToEnd, ActionsFollowTheStreamStart) {
  auto c = client({"--stream", "640", "360", "30", "--no-decode", "--frames", "3", "--move", "1",
                   "0", "--type", "ok"});
  ASSERT_EQ(c->wait(30), 0) << read_text_file(client_log_);
  EXPECT_EQ(typed(1.0), "ok");
  EXPECT_EQ(pointer(), std::make_pair(1279, 0));
  const std::string out = read_text_file(client_log_);
  EXPECT_LT(out.find("stream:"), out.find("-> MouseMove"));
}

// A wheel amount of 1e30 is a hundred notches, not millions of clicks: the session reads the
// Ping sent right after it and answers within a second.
TEST_F(InputEndToEnd, AHugeWheelAmountLeavesTheSessionAnswering) {
  auto c = client({"--wheel", "1e30", "-1e30", "--ping", "1", "--timeout", "5"});
  ASSERT_EQ(c->wait(20), 0) << read_text_file(client_log_);
  const std::string out = read_text_file(client_log_);
  const std::size_t at = out.find("pong 0: ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_LT(std::atof(out.c_str() + at + 8), 1000.0) << out;
}

TEST_F(InputEndToEnd, AKilledClientLeavesNothingHeld) {
  auto c = client({"--key", "225", "down", "--button", "0", "down", "--hold", "60"});
  ASSERT_TRUE(file_shows(client_log_, "-> MouseButton"));
  unsigned mask = 0;
  ASSERT_TRUE(left_button_goes_down(mask));
  ASSERT_TRUE(key_held(XK_Shift_L));

  c->stop(SIGKILL);
  ASSERT_TRUE(file_shows(host_log_, "session ended"));
  // The releases were flushed before that line; give the server a moment to apply them.
  for (int i = 0; i < 100 && ((mask & Button1Mask) || key_held(XK_Shift_L)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pointer(&mask);
  }
  EXPECT_EQ(mask & (Button1Mask | Button2Mask | Button3Mask), 0u);
  EXPECT_FALSE(key_held(XK_Shift_L));
}

// The host itself killed while a client holds keys and a button: its guardian releases them, so
// the desktop is usable again without anyone pressing and releasing them.
TEST_F(InputEndToEnd, AKilledHostLeavesNothingHeld) {
  // Left Shift, Left Control and A down (HID usages), the left button down.
  auto c = client({"--key", "225", "down", "--key", "224", "down", "--key", "4", "down", "--button",
                   "0", "down", "--hold", "60"});
  ASSERT_TRUE(file_shows(client_log_, "-> MouseButton"));
  unsigned mask = 0;
  ASSERT_TRUE(left_button_goes_down(mask));
  ASSERT_TRUE(key_held(XK_Shift_L) && key_held(XK_Control_L) && key_held(XK_a));

  host_->stop(SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  const auto anything_held = [&] {
    pointer(&mask);
    return (mask & Button1Mask) || key_held(XK_Shift_L) || key_held(XK_Control_L) || key_held(XK_a);
  };
  while (anything_held() && std::chrono::steady_clock::now() - killed < Seconds(3)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(anything_held());
  EXPECT_TRUE(file_shows(host_log_, "released 3 keys and 1 buttons that process", 3));
}

}  // namespace
}  // namespace tolvi
