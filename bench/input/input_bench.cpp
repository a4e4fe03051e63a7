// Input latency: the time from a client's MouseMove or Key send to the event reaching a test
// X client's window, through tolvi-host --test-host on a private Xvfb, while the host streams a
// full-screen 1080p60 animation to the same client. Baseline: the same events faked with XTest
// by the test client itself (the X server's own share). Figures only; nothing is asserted.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "client_connection.h"
#include "platform/net.h"
#include "protocol/message_types.h"
#include "stream_messages.h"
#include "support/child_process.h"
#include "support/test_host.h"
#include "support/xvfb_server.h"

// After the host's headers: Xlib's macros clash with names there.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

using namespace tolvi;
using tolvi::testing::ChildProcess;
using tolvi::testing::read_text_file;

constexpr char kPassword[] = "input-bench-secret";
constexpr int kSamples = 500;
// The watching window: a corner of the screen, so the animation stays mostly visible.
constexpr int kWindowSize = 200;
constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;

struct Figures {
  double p50_ms = 0;
  double p99_ms = 0;
};

Figures figures(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2] / 1000, us[us.size() * 99 / 100] / 1000};
}

// Waits for the next event of `type` on the watcher; its arrival time in microseconds.
std::uint64_t wait_event(Display* display, int type) {
  XEvent e;
  do {
    XNextEvent(display, &e);
  } while (e.type != type);
  return monotonic_us();
}

std::vector<std::uint8_t> move_payload(float x, float y) {
  std::vector<std::uint8_t> p(8);
  std::memcpy(p.data(), &x, 4);
  std::memcpy(p.data() + 4, &y, 4);
  return p;
}

}  // namespace

int main() {
  tolvi::testing::XvfbServer xvfb("1920x1080x24");
  if (xvfb.display().empty()) {
    std::printf("bench_input: Xvfb did not start\n");
    return 1;
  }
  const std::string log_base = "/tmp/tolvi-input-bench-" + std::to_string(getpid());
  ChildProcess painter({TOLVI_PAINTER_PROGRAM, "animate", "60", "32"}, xvfb.display(),
                       log_base + "-painter.log");
  tolvi::testing::TestHost host(TOLVI_HOST_PROGRAM, kPassword, xvfb.display(),
                                log_base + "-host.log");
  const std::string port = host.port();
  if (!host.started()) {
    std::printf("bench_input: the host did not start\n");
    return 1;
  }

  Display* watcher = XOpenDisplay(xvfb.display().c_str());
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.event_mask = PointerMotionMask | KeyPressMask | KeyReleaseMask;
  const Window window = XCreateWindow(watcher, DefaultRootWindow(watcher), 0, 0, kWindowSize,
                                      kWindowSize, 0, CopyFromParent, InputOutput, CopyFromParent,
                                      CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(watcher, window);
  XSync(watcher, False);
  XSetInputFocus(watcher, window, RevertToParent, CurrentTime);
  XSync(watcher, False);

  platform::net_startup();
  platform::Socket socket =
      platform::connect_to("127.0.0.1", static_cast<std::uint16_t>(std::stoi(port)));
  socket.set_no_delay(true);
  client::ClientConnection connection(std::move(socket));
  connection.set_receive_timeout(std::chrono::milliseconds(10000));
  if (client::client_handshake(connection, kPassword) != client::HandshakeResult::Authenticated) {
    std::printf("bench_input: handshake failed\n");
    return 1;
  }
  client::StreamRequest request;
  request.width = kScreenWidth;
  request.height = kScreenHeight;
  request.fps = 60;
  connection.send(code(MessageType::StreamConfig), client::stream_config_payload(request));
  // The stream runs on its own thread for the whole measurement: frames are counted, not
  // decoded, so the client leaves the CPU to the host.
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0};
  std::thread receiver([&] {
    connection.set_receive_timeout(std::chrono::milliseconds(200));
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    while (!stop.load()) {
      if (connection.receive(type, payload)) {
        if (type == code(MessageType::VideoFrame)) frames.fetch_add(1);
      } else if (connection.last_failure() != client::ClientConnection::Failure::Idle) {
        break;
      }
    }
  });
  while (frames.load() < 30) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  // Positions inside the watching window, alternating so each one is a motion.
  const float inside = static_cast<float>(kWindowSize) / kScreenWidth;
  std::vector<double> move_us, key_us, xtest_move_us, xtest_key_us;
  const int frames_before = frames.load();
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < kSamples; ++i) {
    const float x = inside * (i % 2 ? 0.25f : 0.5f);
    std::uint64_t sent = monotonic_us();
    connection.send(code(MessageType::MouseMove), move_payload(x, x));
    move_us.push_back(static_cast<double>(wait_event(watcher, MotionNotify) - sent));

    sent = monotonic_us();
    connection.send(code(MessageType::Key), std::vector<std::uint8_t>{4, 0, 1});
    key_us.push_back(static_cast<double>(wait_event(watcher, KeyPress) - sent));
    connection.send(code(MessageType::Key), std::vector<std::uint8_t>{4, 0, 0});
    wait_event(watcher, KeyRelease);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double fps = (frames.load() - frames_before) / seconds;

  // Baseline: XTest from this client itself, on its own connection.
  Display* faker = XOpenDisplay(xvfb.display().c_str());
  const KeyCode a = XKeysymToKeycode(faker, 'a');
  for (int i = 0; i < kSamples; ++i) {
    std::uint64_t sent = monotonic_us();
    XTestFakeMotionEvent(faker, -1, i % 2 ? 50 : 100, i % 2 ? 50 : 100, CurrentTime);
    XFlush(faker);
    xtest_move_us.push_back(static_cast<double>(wait_event(watcher, MotionNotify) - sent));
    sent = monotonic_us();
    XTestFakeKeyEvent(faker, a, True, CurrentTime);
    XFlush(faker);
    xtest_key_us.push_back(static_cast<double>(wait_event(watcher, KeyPress) - sent));
    XTestFakeKeyEvent(faker, a, False, CurrentTime);
    XFlush(faker);
    wait_event(watcher, KeyRelease);
  }
  stop.store(true);
  receiver.join();

  const Figures move = figures(move_us), key = figures(key_us);
  const Figures base_move = figures(xtest_move_us), base_key = figures(xtest_key_us);
  std::printf(
      "input latency, client send -> X event at a test window, %d samples, with a "
      "1080p60 stream running (%.1f fps received):\n",
      kSamples, fps);
  std::printf("  MouseMove  p50 %.3f ms  p99 %.3f ms   (XTest direct: p50 %.3f ms  p99 %.3f ms)\n",
              move.p50_ms, move.p99_ms, base_move.p50_ms, base_move.p99_ms);
  std::printf("  Key        p50 %.3f ms  p99 %.3f ms   (XTest direct: p50 %.3f ms  p99 %.3f ms)\n",
              key.p50_ms, key.p99_ms, base_key.p50_ms, base_key.p99_ms);
  XCloseDisplay(faker);
  XCloseDisplay(watcher);
  host.stop();
  painter.stop(SIGTERM);
  std::remove((log_base + "-host.log").c_str());
  std::remove((log_base + "-painter.log").c_str());
  return 0;
}
