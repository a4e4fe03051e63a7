// The X11 capture, pointer and keep-awake backends against a private Xvfb.
// GoogleTest before Xlib: Xlib's macros (None, Bool, Status) break GoogleTest's templates.
#include <gtest/gtest.h>
// Then the X headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/Xrender.h>
#include <X11/extensions/scrnsaver.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture.h"
#include "platform/keep_awake.h"
#include "platform/linux/x11_connection.h"
#include "support/xvfb_server.h"
#include "video/capture_pipeline.h"

namespace tolvi::platform {
namespace {

using tolvi::testing::XvfbServer;

// Another client of the same server: draws, changes the screen size and sets cursors.
class X11CaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new XvfbServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start";
    client_ = X11Connection::open(server_->display());
    ASSERT_TRUE(client_);
    set_screen_size(1920, 1080);
    XSetWindowBackground(dpy(), root(), 0);
    XClearWindow(dpy(), root());
    XUndefineCursor(dpy(), root());
    ASSERT_EQ(client_->sync_errors(), 0);
  }

  Display* dpy() { return client_->display(); }
  Window root() { return client_->root(); }

  void fill(int x, int y, int w, int h, unsigned long rgb) {
    GC gc = XCreateGC(dpy(), root(), 0, nullptr);
    XSetForeground(dpy(), gc, rgb);
    XFillRectangle(dpy(), root(), gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XFreeGC(dpy(), gc);
    XSync(dpy(), False);
  }

  // Switches the one output to a w x h mode, making the mode when needed: growing sets the
  // screen size first, shrinking the CRTC first.
  void set_screen_size(int w, int h) {
    if (DisplayWidth(dpy(), 0) == w && DisplayHeight(dpy(), 0) == h) return;
    XRRScreenResources* res = XRRGetScreenResources(dpy(), root());
    ASSERT_TRUE(res && res->noutput > 0);
    RROutput output = res->outputs[0];
    XRROutputInfo* info = XRRGetOutputInfo(dpy(), res, output);
    RRCrtc crtc = info->crtc ? info->crtc : res->crtcs[0];
    XRRFreeOutputInfo(info);
    RRMode mode = None;
    for (int i = 0; i < res->nmode; ++i) {
      if (static_cast<int>(res->modes[i].width) == w &&
          static_cast<int>(res->modes[i].height) == h) {
        mode = res->modes[i].id;
      }
    }
    if (mode == None) {
      std::string name = std::to_string(w) + "x" + std::to_string(h);
      XRRModeInfo mode_info{};
      mode_info.width = static_cast<unsigned>(w);
      mode_info.height = static_cast<unsigned>(h);
      mode_info.hTotal = static_cast<unsigned>(w);
      mode_info.vTotal = static_cast<unsigned>(h);
      mode_info.dotClock = static_cast<unsigned long>(w) * static_cast<unsigned long>(h) * 60;
      mode_info.name = name.data();
      mode_info.nameLength = static_cast<unsigned>(name.size());
      mode = XRRCreateMode(dpy(), root(), &mode_info);
      XRRAddOutputMode(dpy(), output, mode);
    }
    const bool grow = w > DisplayWidth(dpy(), 0) || h > DisplayHeight(dpy(), 0);
    const int mm_w = w * 254 / 960, mm_h = h * 254 / 960;
    if (grow) XRRSetScreenSize(dpy(), root(), w, h, mm_w, mm_h);
    XRRSetCrtcConfig(dpy(), res, crtc, CurrentTime, 0, 0, mode, RR_Rotate_0, &output, 1);
    if (!grow) XRRSetScreenSize(dpy(), root(), w, h, mm_w, mm_h);
    XRRFreeScreenResources(res);
    ASSERT_EQ(client_->sync_errors(), 0);
    // Our own view of the screen size follows the server's notification.
    XRRSelectInput(dpy(), root(), RRScreenChangeNotifyMask);
    XSync(dpy(), False);
    while (XPending(dpy())) {
      XEvent event;
      XNextEvent(dpy(), &event);
      XRRUpdateConfiguration(&event);
    }
  }

  // A premultiplied ARGB cursor of w x h pixels, all `argb`, with its hot spot.
  Cursor argb_cursor(int w, int h, std::uint32_t argb, int hot_x, int hot_y) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w * h), argb);
    Pixmap pixmap =
        XCreatePixmap(dpy(), root(), static_cast<unsigned>(w), static_cast<unsigned>(h), 32);
    XImage* image =
        XCreateImage(dpy(), nullptr, 32, ZPixmap, 0, reinterpret_cast<char*>(pixels.data()),
                     static_cast<unsigned>(w), static_cast<unsigned>(h), 32, w * 4);
    GC gc = XCreateGC(dpy(), pixmap, 0, nullptr);
    XPutImage(dpy(), pixmap, gc, image, 0, 0, 0, 0, static_cast<unsigned>(w),
              static_cast<unsigned>(h));
    image->data = nullptr;
    XDestroyImage(image);
    XFreeGC(dpy(), gc);
    XRenderPictFormat* format = XRenderFindStandardFormat(dpy(), PictStandardARGB32);
    Picture picture = XRenderCreatePicture(dpy(), pixmap, format, 0, nullptr);
    Cursor cursor = XRenderCreateCursor(dpy(), picture, static_cast<unsigned>(hot_x),
                                        static_cast<unsigned>(hot_y));
    XRenderFreePicture(dpy(), picture);
    XFreePixmap(dpy(), pixmap);
    return cursor;
  }

  // Acquires until a frame arrives (or a second passes without one).
  AcquireResult next_frame(OutputDuplication& duplication) {
    for (int i = 0; i < 10; ++i) {
      AcquireResult result = duplication.acquire_next_frame(100);
      if (result.status != AcquireStatus::kTimeout) return result;
    }
    return {};
  }

  static XvfbServer* server_;
  std::unique_ptr<X11Connection> client_;
};

XvfbServer* X11CaptureTest::server_ = nullptr;

const std::uint8_t* pixel(const DesktopImage& image, int x, int y) { return image.row(y) + x * 4; }

TEST_F(X11CaptureTest, FirstFrameIsTheWholePictureThenOnlyChanges) {
  auto device = make_capture_device(server_->display());
  ASSERT_TRUE(device);
  auto duplication = device->open_duplication();
  ASSERT_TRUE(duplication);
  EXPECT_EQ(duplication->desktop_rect(), (DesktopRect{0, 0, 1920, 1080}));

  AcquireResult first = duplication->acquire_next_frame(0);
  ASSERT_EQ(first.status, AcquireStatus::kFrame);
  EXPECT_TRUE(first.info.present);
  EXPECT_TRUE(first.info.pointer_updated);
  DesktopImage image;
  ASSERT_TRUE(duplication->copy_frame_to(image));
  EXPECT_EQ(image.width, 1920);
  EXPECT_EQ(image.height, 1080);
  duplication->release_frame();

  EXPECT_EQ(duplication->acquire_next_frame(50).status, AcquireStatus::kTimeout);

  fill(100, 200, 50, 40, 0xff0000);
  fill(1915, 1079, 5, 1, 0x00ff00);  // the last row and columns are captured too
  AcquireResult changed = next_frame(*duplication);
  ASSERT_EQ(changed.status, AcquireStatus::kFrame);
  EXPECT_TRUE(changed.info.present);
  ASSERT_TRUE(duplication->copy_frame_to(image));
  const std::uint8_t* inside = pixel(image, 120, 220);
  EXPECT_EQ((std::vector<int>{inside[0], inside[1], inside[2]}), (std::vector<int>{0, 0, 255}));
  const std::uint8_t* outside = pixel(image, 99, 220);
  EXPECT_EQ((std::vector<int>{outside[0], outside[1], outside[2]}), (std::vector<int>{0, 0, 0}));
  const std::uint8_t* corner = pixel(image, 1919, 1079);
  EXPECT_EQ((std::vector<int>{corner[0], corner[1], corner[2]}), (std::vector<int>{0, 255, 0}));
  duplication->release_frame();
}

// Grabs into the same image fetch only the damaged rows and say which they are; the image then
// holds what a whole grab gives.
TEST_F(X11CaptureTest, RepeatedGrabsFetchTheDamagedRowsAndMatchAWholeGrab) {
  for (int y = 0; y < 1080; y += 60) fill(0, y, 1920, 30, 0x102030 * static_cast<unsigned>(y / 60));
  auto device = make_capture_device(server_->display());
  ASSERT_TRUE(device);
  auto duplication = device->open_duplication();
  ASSERT_TRUE(duplication);
  ASSERT_EQ(duplication->acquire_next_frame(0).status, AcquireStatus::kFrame);
  DesktopImage image;
  ASSERT_TRUE(duplication->copy_frame_to(image));
  EXPECT_EQ(duplication->copied_change(), (DesktopRect{0, 0, 1920, 1080}));

  fill(300, 501, 10, 3, 0xff0000);
  fill(1915, 1079, 5, 1, 0x00ff00);
  ASSERT_EQ(next_frame(*duplication).status, AcquireStatus::kFrame);
  ASSERT_TRUE(duplication->copy_frame_to(image));
  EXPECT_EQ(duplication->copied_change(), (DesktopRect{300, 501, 1920, 1080}));
  ASSERT_TRUE(duplication->copy_frame_to(image));  // nothing new
  EXPECT_EQ(duplication->copied_change().height(), 0);

  DesktopImage whole;
  ASSERT_TRUE(duplication->copy_frame_to(whole));
  EXPECT_EQ(duplication->copied_change(), (DesktopRect{0, 0, 1920, 1080}));
  for (int y = 0; y < 1080; ++y) {
    ASSERT_EQ(std::memcmp(image.row(y), whole.row(y), 1920 * 4), 0) << "row " << y;
  }
  EXPECT_EQ(pixel(image, 305, 502)[2], 255);
}

// Grabs may share memory with the capture, but every image keeps the picture it was given:
// through later grabs into other images, writes into it, and the end of its duplication.
TEST_F(X11CaptureTest, EachImageKeepsItsOwnPicture) {
  auto device = make_capture_device(server_->display());
  ASSERT_TRUE(device);
  auto duplication = device->open_duplication();
  ASSERT_TRUE(duplication);
  ASSERT_EQ(duplication->acquire_next_frame(0).status, AcquireStatus::kFrame);
  DesktopImage before;
  ASSERT_TRUE(duplication->copy_frame_to(before));

  fill(100, 200, 50, 40, 0xff0000);
  ASSERT_EQ(next_frame(*duplication).status, AcquireStatus::kFrame);
  DesktopImage after;
  ASSERT_TRUE(duplication->copy_frame_to(after));
  fill(100, 200, 50, 40, 0x0000ff);
  ASSERT_EQ(next_frame(*duplication).status, AcquireStatus::kFrame);
  DesktopImage latest;
  ASSERT_TRUE(duplication->copy_frame_to(latest));
  ASSERT_TRUE(duplication->copy_frame_to(latest));  // the same image again

  auto blue_green_red = [](const DesktopImage& image) {
    const std::uint8_t* p = pixel(image, 120, 220);
    return std::vector<int>{p[0], p[1], p[2]};
  };
  EXPECT_EQ(blue_green_red(before), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(blue_green_red(after), (std::vector<int>{0, 0, 255}));
  EXPECT_EQ(blue_green_red(latest), (std::vector<int>{255, 0, 0}));

  // Writing into one image changes only that one.
  after.row(220)[120 * 4 + 1] = 77;
  EXPECT_EQ(blue_green_red(after), (std::vector<int>{0, 77, 255}));
  EXPECT_EQ(pixel(after, 1919, 1079)[0], 0);
  EXPECT_EQ(blue_green_red(latest), (std::vector<int>{255, 0, 0}));

  duplication.reset();
  EXPECT_EQ(blue_green_red(latest), (std::vector<int>{255, 0, 0}));
  EXPECT_EQ(blue_green_red(before), (std::vector<int>{0, 0, 0}));
}

TEST_F(X11CaptureTest, ScreenSizeChangeIsAccessLostAndTheNextDuplicationHasTheNewSize) {
  auto device = make_capture_device(server_->display());
  ASSERT_TRUE(device);
  auto duplication = device->open_duplication();
  ASSERT_TRUE(duplication);
  ASSERT_EQ(duplication->acquire_next_frame(0).status, AcquireStatus::kFrame);
  duplication->release_frame();

  set_screen_size(1280, 720);
  EXPECT_EQ(next_frame(*duplication).status, AcquireStatus::kAccessLost);

  duplication = device->open_duplication();
  ASSERT_TRUE(duplication);
  EXPECT_EQ(duplication->desktop_rect(), (DesktopRect{0, 0, 1280, 720}));
  ASSERT_EQ(duplication->acquire_next_frame(0).status, AcquireStatus::kFrame);
  DesktopImage image;
  ASSERT_TRUE(duplication->copy_frame_to(image));
  EXPECT_EQ(image.width, 1280);
  EXPECT_EQ(image.height, 720);

  // Growing again works the same way (the server was started larger).
  set_screen_size(2560, 1440);
  EXPECT_EQ(next_frame(*duplication).status, AcquireStatus::kAccessLost);
  duplication = device->open_duplication();
  ASSERT_TRUE(duplication);
  EXPECT_EQ(duplication->desktop_rect(), (DesktopRect{0, 0, 2560, 1440}));
}

TEST_F(X11CaptureTest, PointerShapeChangesArriveAsStraightAlphaColourShapes) {
  auto device = make_capture_device(server_->display());
  ASSERT_TRUE(device);
  auto duplication = device->open_duplication();
  ASSERT_TRUE(duplication);
  ASSERT_EQ(duplication->acquire_next_frame(0).status, AcquireStatus::kFrame);

  struct Case {
    const char* what;
    std::uint32_t premultiplied_argb;
    std::vector<int> bgra;
    bool visible;
  };
  const Case cases[] = {
      {"opaque red", 0xffff0000, {0, 0, 255, 255}, true},
      {"half-transparent dark red", 0x80400000, {0, 0, 128, 128}, true},
      {"colour above alpha is clamped", 0x80ff8000, {0, 255, 255, 128}, true},
      {"fully transparent hides the pointer", 0x00000000, {0, 0, 0, 0}, false},
  };
  int hot_x = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Cursor cursor = argb_cursor(24, 32, c.premultiplied_argb, hot_x, 5);
    XDefineCursor(dpy(), root(), cursor);
    XSync(dpy(), False);
    AcquireResult result = next_frame(*duplication);
    ASSERT_EQ(result.status, AcquireStatus::kFrame);
    EXPECT_FALSE(result.info.present);  // a pointer change leaves the picture alone
    ASSERT_TRUE(result.info.pointer_updated);
    EXPECT_EQ(result.info.pointer_visible, c.visible);
    ASSERT_EQ(result.info.pointer_shape_bytes, 24u * 32u * 4u);
    std::vector<std::uint8_t> shape(result.info.pointer_shape_bytes);
    PointerShapeInfo info;
    ASSERT_TRUE(duplication->get_pointer_shape(shape, info));
    EXPECT_EQ(info.type, PointerShapeType::kColor);
    EXPECT_EQ(info.width, 24u);
    EXPECT_EQ(info.height, 32u);
    EXPECT_EQ(info.pitch, 96u);
    EXPECT_EQ(info.hot_x, hot_x);
    EXPECT_EQ(info.hot_y, 5);
    const std::size_t last = shape.size() - 4;
    EXPECT_EQ((std::vector<int>{shape[last], shape[last + 1], shape[last + 2], shape[last + 3]}),
              c.bgra);
    duplication->release_frame();
    XUndefineCursor(dpy(), root());
    XFreeCursor(dpy(), cursor);
    XSync(dpy(), False);
    next_frame(*duplication);  // the pointer going back to the default
    ++hot_x;                   // every case a different cursor, so every case notifies
  }
}

TEST(X11CaptureLostServer, ALostConnectionIsAnErrorAndNeverEndsTheProcess) {
  XvfbServer server;
  ASSERT_FALSE(server.display().empty());
  auto device = make_capture_device(server.display());
  ASSERT_TRUE(device);
  auto duplication = device->open_duplication();
  ASSERT_TRUE(duplication);
  ASSERT_EQ(duplication->acquire_next_frame(0).status, AcquireStatus::kFrame);
  duplication->release_frame();

  server.stop();
  AcquireResult result = duplication->acquire_next_frame(100);
  EXPECT_EQ(result.status, AcquireStatus::kError);
  DesktopImage image;
  EXPECT_FALSE(duplication->copy_frame_to(image));
  EXPECT_EQ(duplication->acquire_next_frame(10).status, AcquireStatus::kError);
  duplication.reset();
  EXPECT_EQ(device->open_duplication(), nullptr);
  EXPECT_EQ(make_capture_device(server.display()), nullptr);
}

// Real time: the screen saver's shortest time-out is one second.
TEST_F(X11CaptureTest, KeepAwakeSuspendsTheScreenSaverUntilEnded) {
  auto saver_on = [&] {
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    XScreenSaverQueryInfo(dpy(), root(), info);
    const bool on = info->state == ScreenSaverOn;
    XFree(info);
    return on;
  };
  XSetScreenSaver(dpy(), 1, 0, DontPreferBlanking, AllowExposures);
  XForceScreenSaver(dpy(), ScreenSaverReset);
  auto keep_awake = make_keep_awake(server_->display());
  ASSERT_TRUE(keep_awake);
  ASSERT_TRUE(keep_awake->begin());
  usleep(1500 * 1000);
  EXPECT_FALSE(saver_on());
  keep_awake->end();
  usleep(1500 * 1000);
  EXPECT_TRUE(saver_on());
  keep_awake->end();  // ending twice is harmless
  XForceScreenSaver(dpy(), ScreenSaverReset);
  XSetScreenSaver(dpy(), -1, -1, DefaultBlanking, DefaultExposures);
  XSync(dpy(), False);
}

TEST(X11CaptureNoServer, NoDisplayMeansNoDevice) {
  EXPECT_EQ(make_capture_device(":9999"), nullptr);
  EXPECT_FALSE(make_keep_awake(":9999")->begin());
}

}  // namespace
}  // namespace tolvi::platform

namespace tolvi {
namespace {

// A session stand-in for a capture loop on a real desktop: one configuration, every message
// recorded, closed by the test.
class RecordingHost : public StreamHost {
 public:
  explicit RecordingHost(ClientConfig config) : pending_(config) {}
  bool take_pending_config(ClientConfig& out) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!pending_) return false;
    out = *pending_;
    pending_.reset();
    return true;
  }
  bool take_keyframe_request() override { return false; }
  ClientConfig& current_config() override { return current_; }
  void send_message(std::uint8_t type, const std::uint8_t* data, std::size_t length) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      sent_.emplace_back(type, std::vector<std::uint8_t>(data, data + length));
    }
    changed_.notify_all();
  }
  std::uint64_t main_backlog() override { return 0; }
  std::uint64_t congestion_limit() override { return limit_.load(); }
  void set_congestion_limit(std::uint64_t bytes) override { limit_.store(bytes); }
  void close_connection() override { closed_.store(true); }
  bool connection_closed() override { return closed_.load(); }

  // Waits up to 10 s for a message of `type` after the first `skip` ones, matching `accept`.
  bool wait_for(std::uint8_t type, std::size_t skip,
                const std::function<bool(const std::vector<std::uint8_t>&)>& accept) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [&] {
      std::size_t seen = 0;
      for (const auto& [t, payload] : sent_) {
        if (t == type && seen++ >= skip && accept(payload)) return true;
      }
      return false;
    });
  }
  std::size_t count(std::uint8_t type) {
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t n = 0;
    for (const auto& message : sent_) n += message.first == type;
    return n;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::optional<ClientConfig> pending_;
  ClientConfig current_;
  std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> sent_;
  std::atomic<std::uint64_t> limit_{0};
  std::atomic<bool> closed_{false};
};

class NoDisplayChanges : public DisplayController {
 public:
  void set_device_name(const std::string&) override {}
  bool apply_client_display(std::int32_t, std::int32_t, double) override { return false; }
  void restore() override {}
};

constexpr std::uint8_t kStreamInfo = 0x20;
constexpr std::uint8_t kVideoFrame = 0x21;
constexpr std::uint8_t kCursorShape = 0x22;

std::uint32_t u32_at(const std::vector<std::uint8_t>& p, std::size_t at) {
  return p[at] | p[at + 1] << 8 | p[at + 2] << 16 | static_cast<std::uint32_t>(p[at + 3]) << 24;
}

class X11PipelineTest : public platform::X11CaptureTest {};

TEST_F(X11PipelineTest, ScreenSizeChangeAndPointerShapeReachTheClient) {
  ClientConfig config;
  config.width = 1920;
  config.height = 1080;
  config.fps = 30;
  RecordingHost host(config);
  NoDisplayChanges display;
  CapturePlatform parts;
  const std::string name = server_->display();
  parts.make_capture_device = [name] { return platform::make_capture_device(name); };
  parts.make_converter = [] { return platform::make_video_converter(); };
  parts.make_encoder_catalogue = []() -> std::shared_ptr<platform::EncoderCatalogue> {
    return platform::make_encoder_catalogue();
  };
  parts.allow_resolution_change = [] { return false; };
  CapturePipeline pipeline(host, display, std::move(parts));
  ASSERT_TRUE(pipeline.init_capture_device());
  std::thread loop([&] { pipeline.run(); });

  const auto desktop_is = [](std::uint32_t w, std::uint32_t h) {
    return [w, h](const std::vector<std::uint8_t>& p) {
      return p.size() == kStreamInfoBytes && u32_at(p, 9) == w && u32_at(p, 13) == h;
    };
  };
  EXPECT_TRUE(host.wait_for(kStreamInfo, 0, desktop_is(1920, 1080)));
  EXPECT_TRUE(host.wait_for(kVideoFrame, 0, [](const auto& p) { return p[0] == 1; }));

  // The desktop shrinks: the pipeline is rebuilt and the client told the new size. Frames are
  // counted before the change, so the rebuild's key frame cannot slip in before the count.
  const std::size_t frames = host.count(kVideoFrame);
  set_screen_size(1280, 1024);
  EXPECT_TRUE(host.wait_for(kStreamInfo, 1, desktop_is(1280, 1024)));
  EXPECT_TRUE(host.wait_for(kVideoFrame, frames, [](const auto& p) { return p[0] == 1; }));

  // A new pointer shape arrives as a CursorShape of its size and hot spot.
  Cursor cursor = argb_cursor(24, 32, 0xFF00FF00, 3, 5);
  XDefineCursor(dpy(), root(), cursor);
  XSync(dpy(), False);
  EXPECT_TRUE(host.wait_for(kCursorShape, 0, [](const std::vector<std::uint8_t>& p) {
    return p.size() == kCursorHeaderBytes + 24 * 32 * 4 && p[0] == 24 && p[2] == 32 && p[4] == 3 &&
           p[6] == 5 && p[8] == 0 && p[9] == 255 && p[10] == 0 && p[11] == 255;
  }));

  host.close_connection();
  loop.join();
  XUndefineCursor(dpy(), root());
  XFreeCursor(dpy(), cursor);
  set_screen_size(1920, 1080);
}

}  // namespace
}  // namespace tolvi
