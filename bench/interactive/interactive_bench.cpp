// From an action to its picture: clicks and key presses sent to a host whose desktop shows
// interactive_painter, each timed from the moment this client sends it to the first decoded
// frame whose pixels show the change. Also where the time goes, stage by stage, from the
// painter's own times (when the event reached it, when its drawing was on the server) and the
// frame's capture time (all one machine's monotonic clock).
//   interactive_bench PORT PASSWORD PAINTER_LOG [SAMPLES]
// The host's conversion and encode cannot be seen from outside; they are timed here in this
// process on the same change (the square flipping on a 1080p desktop) with the host's own
// converter and encoder, and the send stage is what is left of capture to receipt.
// Prints figures against the goals; asserts nothing.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "client_connection.h"
#include "platform/capture.h"
#include "platform/converter.h"
#include "platform/encoder.h"
#include "video/encoder.h"
#include "ffmpeg/ffmpeg_holders.h"
#include "input_messages.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "protocol/message_types.h"
#include "stream_messages.h"
#include "stream_receiver.h"

namespace {

using namespace tolvi;

constexpr double kGoalP50Ms = 25;
constexpr double kGoalP99Ms = 45;
constexpr auto kGiveUp = std::chrono::seconds(2);
constexpr std::uint64_t kBetweenSamplesUs = 250000;  // a still desktop between actions
constexpr std::uint16_t kUsageA = 4;
// Where the painter draws (1920x1080 screen): the square's centre and the text area.
constexpr int kSquareX = 960, kSquareY = 540, kProbe = 10;
constexpr int kTextX = 560, kTextY = 300, kTextW = 400, kTextH = 120;
constexpr int kBright = 128;
constexpr int kTextPixels = 500;  // bright pixels in the text area when text is shown

struct Sample {
  std::uint64_t sent_us = 0;
  std::uint64_t capture_us = 0;  // host's capture time of the frame that showed it
  std::uint64_t receipt_us = 0;
  std::uint64_t decoded_us = 0;
};

struct PainterEvent {
  std::uint64_t received_us = 0;
  std::uint64_t drawn_us = 0;
};

int luma(const AVFrame& f, int x, int y) { return f.data[0][y * f.linesize[0] + x]; }

bool square_white(const AVFrame& f) {
  int sum = 0;
  for (int y = kSquareY - kProbe; y < kSquareY + kProbe; ++y) {
    for (int x = kSquareX - kProbe; x < kSquareX + kProbe; ++x) sum += luma(f, x, y);
  }
  return sum / (4 * kProbe * kProbe) >= kBright;
}

bool text_shown(const AVFrame& f) {
  int bright = 0;
  for (int y = kTextY; y < kTextY + kTextH; ++y) {
    for (int x = kTextX; x < kTextX + kTextW; ++x) bright += luma(f, x, y) >= kBright ? 1 : 0;
  }
  return bright >= kTextPixels;
}

class Client {
 public:
  Client(client::ClientConnection& c) : c_(c), receiver_(options()) {}

  static client::StreamReceiver::Options options() {
    client::StreamReceiver::Options o;
    o.keep_latencies = false;
    return o;
  }

  // Receives until a decoded picture satisfies `done` (true) or the time is up (false).
  bool until(const std::function<bool(const AVFrame&)>& done, Sample* sample,
             std::chrono::steady_clock::duration limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    while (std::chrono::steady_clock::now() < end) {
      if (!c_.receive(type, payload)) {
        if (c_.last_failure() == client::ClientConnection::Failure::Idle) continue;
        return false;
      }
      const std::uint64_t receipt = platform::monotonic_clock_us();
      if (receiver_.handle(type, payload, receipt) != client::StreamReceiver::Event::Picture) {
        continue;
      }
      ffmpeg::FramePtr picture(receiver_.decoder().picture_ref());
      if (!picture || picture->width < 1920 || picture->height < 1080) continue;
      if (!done(*picture)) continue;
      if (sample) {
        sample->capture_us = receiver_.last_frame().time_us;
        sample->receipt_us = receipt;
        sample->decoded_us = platform::monotonic_clock_us();
      }
      return true;
    }
    return false;
  }

  // Keeps reading (and decoding) for `us` microseconds.
  void pump(std::uint64_t us) {
    until([](const AVFrame&) { return false; }, nullptr, std::chrono::microseconds(us));
  }

 private:
  client::ClientConnection& c_;
  client::StreamReceiver receiver_;
};

std::vector<PainterEvent> painter_events(const std::string& path, const std::string& kind) {
  std::vector<PainterEvent> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string k;
    PainterEvent e;
    if (words >> k >> e.received_us >> e.drawn_us && k == kind) out.push_back(e);
  }
  return out;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

double ms(std::uint64_t from, std::uint64_t to) {
  return (static_cast<double>(to) - static_cast<double>(from)) / 1000.0;
}

struct HostCosts {
  double convert_ms = 0;  // p50
  double encode_ms = 0;   // p50, encode_frame until the access unit reached the sink
};

// The host's converter and encoder on the click's change: a 200x200 square flipping on a black
// 1080p picture, converted where it changed and encoded at 1080p60.
HostCosts host_costs(int samples) {
  HostCosts costs;
  constexpr int kW = 1920, kH = 1080, kSide = 200;
  constexpr std::int32_t kKbps = 10000;
  std::unique_ptr<platform::VideoConverter> converter = platform::make_video_converter();
  std::shared_ptr<platform::EncoderCatalogue> catalogue = platform::make_encoder_catalogue();
  if (!converter || !catalogue || !converter->init(kW, kH, kW, kH, 60)) return costs;
  std::atomic<int> outputs{0};
  Encoder encoder;
  if (!encoder.open(catalogue, kW, kH, 60, kKbps, false,
                    [&](const std::uint8_t*, std::uint64_t, bool, std::uint64_t) { ++outputs; })) {
    return costs;
  }
  platform::DesktopImage image;
  image.resize(kW, kH);
  for (int y = 0; y < kH; ++y) std::memset(image.row(y), 0, static_cast<std::size_t>(kW) * 4);
  platform::Nv12Image slot;
  slot.resize(kW, kH);
  converter->convert(image, slot);
  const platform::DesktopRect square{(kW - kSide) / 2, (kH - kSide) / 2, (kW + kSide) / 2,
                                     (kH + kSide) / 2};
  std::vector<double> convert_ms, encode_ms;
  constexpr int kWarmUp = 10;
  for (int i = 0; i < samples + kWarmUp; ++i) {
    const std::uint8_t v = (i % 2) ? 255 : 0;
    for (int y = square.top; y < square.bottom; ++y) {
      std::memset(image.row(y) + square.left * 4, v, static_cast<std::size_t>(kSide) * 4);
    }
    const std::uint64_t t0 = platform::monotonic_clock_us();
    converter->convert_area(image, slot, square);
    slot.changed = square;
    const std::uint64_t t1 = platform::monotonic_clock_us();
    const int before = outputs.load();
    encoder.encode_frame(slot, t1);
    while (outputs.load() == before && platform::monotonic_clock_us() - t1 < 200000) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const std::uint64_t t2 = platform::monotonic_clock_us();
    if (i >= kWarmUp) {
      convert_ms.push_back(ms(t0, t1));
      encode_ms.push_back(ms(t1, t2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(16));
  }
  costs.convert_ms = percentile(convert_ms, 0.5);
  costs.encode_ms = percentile(encode_ms, 0.5);
  return costs;
}

void report(const char* what, const std::vector<Sample>& samples,
            const std::vector<PainterEvent>& events, int missed, const HostCosts& host) {
  std::vector<double> total, injection, drawing, wake, pipeline, decode;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const Sample& s = samples[i];
    total.push_back(ms(s.sent_us, s.decoded_us));
    if (i < events.size()) {
      injection.push_back(ms(s.sent_us, events[i].received_us));
      drawing.push_back(ms(events[i].received_us, events[i].drawn_us));
      wake.push_back(ms(events[i].drawn_us, s.capture_us));
    }
    pipeline.push_back(ms(s.capture_us, s.receipt_us));
    decode.push_back(ms(s.receipt_us, s.decoded_us));
  }
  const double p50 = percentile(total, 0.5), p99 = percentile(total, 0.99);
  std::printf("%s: %zu samples, %d missed: send to decoded picture p50 %.1f ms, p99 %.1f ms, "
              "max %.1f ms\n",
              what, samples.size(), missed, p50, p99, percentile(total, 1.0));
  std::printf("  stages, p50 (p99) ms:\n");
  const auto stage = [](const char* name, const std::vector<double>& v) {
    std::printf("    %-58s %6.1f (%6.1f)\n", name, percentile(v, 0.5), percentile(v, 0.99));
  };
  stage("input: client send to the painter's event (host, XTest, X)", injection);
  stage("X drawing: the painter's drawing until on the server", drawing);
  stage("capture wake-up: drawn to the host's capture of it", wake);
  stage("conversion, encode, send: capture to receipt here", pipeline);
  std::printf("    %-58s %6.1f\n", "  of which conversion (host's converter, in this process)",
              host.convert_ms);
  std::printf("    %-58s %6.1f\n", "  of which encode (host's encoder, in this process)",
              host.encode_ms);
  std::printf("    %-58s %6.1f\n", "  of which send and receipt (the rest)",
              percentile(pipeline, 0.5) - host.convert_ms - host.encode_ms);
  stage("decode", decode);
  std::printf("  goal p50 <= %.0f ms: %s;  goal p99 <= %.0f ms: %s\n", kGoalP50Ms,
              p50 <= kGoalP50Ms && !samples.empty() ? "met" : "NOT met", kGoalP99Ms,
              p99 <= kGoalP99Ms && !samples.empty() ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: interactive_bench PORT PASSWORD PAINTER_LOG [SAMPLES]\n");
    return 2;
  }
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const std::string password = argv[2];
  const std::string painter_log = argv[3];
  const int samples = argc == 5 ? std::atoi(argv[4]) : 200;
  platform::net_startup();
  platform::Socket socket = platform::connect_to("127.0.0.1", port);
  if (!socket.valid()) {
    std::fprintf(stderr, "interactive_bench: no host on port %u\n", port);
    return 1;
  }
  socket.set_no_delay(true);
  client::ClientConnection c(std::move(socket));
  c.set_receive_timeout(std::chrono::seconds(10));
  const client::HandshakeResult result = client::client_handshake(c, password);
  if (result != client::HandshakeResult::Authenticated) {
    std::fprintf(stderr, "interactive_bench: %s\n", client::describe(result));
    return 1;
  }
  c.set_receive_timeout(std::chrono::milliseconds(20));
  client::StreamRequest request;
  request.width = 1920;
  request.height = 1080;
  request.fps = 60;
  request.codec_mask = client::kCodecMaskH264;
  c.send(code(MessageType::StreamConfig), client::stream_config_payload(request));
  Client client(c);
  if (!client.until([](const AVFrame&) { return true; }, nullptr, std::chrono::seconds(10))) {
    std::fprintf(stderr, "interactive_bench: no picture\n");
    return 1;
  }
  c.send(code(MessageType::MouseMove), client::mouse_move_payload(0.5f, 0.5f));
  client.pump(1000000);

  const HostCosts host = host_costs(std::min(samples, 100));
  const auto run = [&](const char* what, const char* kind,
                       const std::function<void()>& act,
                       const std::function<bool(const AVFrame&)>& state) {
    std::vector<Sample> done;
    int missed = 0;
    bool now_on = false;
    client.until([&](const AVFrame& f) {
      now_on = state(f);
      return true;
    }, nullptr, std::chrono::seconds(2));
    for (int i = 0; i < samples; ++i) {
      Sample s;
      const bool want = !now_on;
      s.sent_us = platform::monotonic_clock_us();
      act();
      if (client.until([&](const AVFrame& f) { return state(f) == want; }, &s, kGiveUp)) {
        done.push_back(s);
        now_on = want;
      } else {
        ++missed;
        break;  // the pairing with the painter's events is lost; stop here
      }
      client.pump(kBetweenSamplesUs);
    }
    report(what, done, painter_events(painter_log, kind), missed, host);
  };
  run("MouseButton (left click flips a square)", "button",
      [&] {
        c.send(code(MessageType::MouseButton), client::mouse_button_payload(0, true));
        c.send(code(MessageType::MouseButton), client::mouse_button_payload(0, false));
      },
      square_white);
  run("Key (a key draws characters)", "key",
      [&] {
        c.send(code(MessageType::Key), client::key_payload(kUsageA, true));
        c.send(code(MessageType::Key), client::key_payload(kUsageA, false));
      },
      text_shown);
  return 0;
}
