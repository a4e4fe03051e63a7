// Display matching as a client feels it, on a private Xvfb with tolvi-host: time from a
// StreamConfig to the first frame (matching on: at the new desktop size; the baseline run asks
// for the same view without matching), and from the client hanging up to the desktop being
// back at its own mode. Prints figures and ratios; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "platform/net.h"
#include "protocol/message_types.h"
#include "stream_messages.h"
#include "support/test_host.h"
#include "support/xvfb_desktop.h"

namespace {

using Clock = std::chrono::steady_clock;
using tolvi::code;
using tolvi::MessageType;
namespace client = tolvi::client;

constexpr char kPassword[] = "display-bench-secret";
constexpr int kRuns = 5;

double since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Connects, authenticates, asks for 1280x800 (matching or not) and waits for the first
// frame of a stream whose desktop is `want_w` wide; ms from the StreamConfig, or -1.
double first_frame_ms(std::uint16_t port, bool match, std::uint32_t want_w) {
  tolvi::platform::Socket socket = tolvi::platform::connect_to("127.0.0.1", port);
  if (!socket.valid()) return -1;
  client::ClientConnection connection(std::move(socket));
  if (client::client_handshake(connection, kPassword) != client::HandshakeResult::Authenticated)
    return -1;
  connection.set_receive_timeout(std::chrono::milliseconds(10000));
  client::StreamRequest request;
  request.width = 1280;
  request.height = 800;
  request.fps = 30;
  request.match_resolution = match;
  const Clock::time_point start = Clock::now();
  if (!connection.send(code(MessageType::StreamConfig), client::stream_config_payload(request)))
    return -1;
  bool right_size = false;
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  while (connection.receive(type, payload)) {
    if (type == code(MessageType::StreamInfo)) {
      client::StreamInfo info;
      right_size = client::parse_stream_info(payload, info) && info.desktop_width == want_w;
    } else if (type == code(MessageType::VideoFrame) && right_size) {
      return since(start);
    }
  }
  return -1;
}

}  // namespace

int main() {
  tolvi::testing::XvfbDesktop desktop;
  if (!desktop.ready()) {
    std::fprintf(stderr, "display bench: Xvfb did not start\n");
    return 1;
  }
  // The host's log in a folder of this run's own.
  char folder_name[] = "/tmp/tolvi-display-bench.XXXXXX";
  if (!mkdtemp(folder_name)) {
    std::fprintf(stderr, "display bench: no temporary folder\n");
    return 1;
  }
  const std::string folder = folder_name;
  tolvi::testing::TestHost host(TOLVI_HOST_PROGRAM, kPassword, desktop.name(), folder + "/host.log");
  if (!host.started()) {
    std::fprintf(stderr, "display bench: the host did not start\n");
    std::filesystem::remove_all(folder);
    return 1;
  }
  const auto port = static_cast<std::uint16_t>(std::stoi(host.port()));

  std::vector<double> plain, matched, restored;
  for (int run = 0; run < kRuns; ++run) {
    plain.push_back(first_frame_ms(port, false, 1920));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    matched.push_back(first_frame_ms(port, true, 1280));
    // The connection closed when first_frame_ms returned: the session winds down.
    const Clock::time_point hung_up = Clock::now();
    while (desktop.size() != std::pair<unsigned, unsigned>(1920, 1080) && since(hung_up) < 10000)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    restored.push_back(since(hung_up));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  host.stop();
  std::filesystem::remove_all(folder);

  std::printf("display matching, %d runs, medians (1280x800 view on a 1920x1080 Xvfb desktop)\n",
              kRuns);
  std::printf("  StreamConfig -> first frame, no matching:          %8.1f ms\n", median(plain));
  std::printf(
      "  StreamConfig -> first frame at 1280x800, matching: %8.1f ms (goal <= 600, of "
      "which 400 is the settle pause)\n",
      median(matched));
  std::printf("  client gone -> desktop back at 1920x1080:          %8.1f ms\n", median(restored));
  if (median(plain) > 0)
    std::printf("  ratio matching / no matching: %.2f\n", median(matched) / median(plain));
  return 0;
}
