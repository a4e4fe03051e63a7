// End to end on a private Xvfb: tolvi-host streams the desktop and the client library (and the
// tolvi-client program) receives, decodes and checks it. The pictures come from x11_painter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "client_connection.h"
#include "e2e/reference_blocks.h"
#include "platform/net.h"
#include "protocol/message_types.h"
#include "stream_receiver.h"
#include "support/child_process.h"
#include "support/test_host.h"
#include "support/xvfb_server.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace tolvi::client {
namespace {

using tolvi::testing::XvfbServer;
using Seconds = std::chrono::duration<double>;

constexpr char kPassword[] = "video-e2e-secret";
constexpr int kDesktopWidth = 1280;
constexpr int kDesktopHeight = 720;

using Child = tolvi::testing::ChildProcess;
const auto read_file = tolvi::testing::read_text_file;

std::string temp_path(const std::string& name) {
  return "/tmp/tolvi-video-e2e-" + std::to_string(getpid()) + "-" + name;
}

// Draws the reference blocks and waits until they are on the screen.
void paint_blocks(const std::string& display) {
  Child painter({TOLVI_PAINTER_PROGRAM, "blocks"}, display, temp_path("painter.log"));
  ASSERT_EQ(painter.wait(10), 0) << read_file(temp_path("painter.log"));
}

// The picture shows the reference blocks: the centre of each block within tolerance.
::testing::AssertionResult shows_blocks(const RgbImage& image, int tolerance) {
  using namespace tolvi::testing;
  for (int row = 0; row < kBlockRows; ++row) {
    for (int col = 0; col < kBlockColumns; ++col) {
      const int x = (2 * col + 1) * image.width / (2 * kBlockColumns);
      const int y = (2 * row + 1) * image.height / (2 * kBlockRows);
      const std::uint8_t* p = image.pixel(x, y);
      const BlockColour& want = kBlockColours[row][col];
      if (std::abs(p[0] - want.r) > tolerance || std::abs(p[1] - want.g) > tolerance ||
          std::abs(p[2] - want.b) > tolerance) {
        return ::testing::AssertionFailure()
               << "block " << col << "," << row << " at " << x << "," << y << " of " << image.width
               << "x" << image.height << " is " << int{p[0]} << "/" << int{p[1]} << "/" << int{p[2]}
               << ", expected " << int{want.r} << "/" << int{want.g} << "/" << int{want.b};
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// The client side in this process: one connection and its stream receiver.
class StreamClient {
 public:
  explicit StreamClient(StreamReceiver::Options options = {}) : receiver_(std::move(options)) {}

  // receive_buffer > 0 pins the socket's receive buffer (no autotuning), so a client that
  // stops reading holds back a known, small amount.
  ::testing::AssertionResult connect(std::uint16_t port, int receive_buffer = 0) {
    platform::Socket socket = platform::connect_to("127.0.0.1", port);
    if (!socket.valid()) return ::testing::AssertionFailure() << "host not reachable";
    if (receive_buffer > 0) {
      setsockopt(static_cast<int>(socket.handle()), SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                 sizeof receive_buffer);
    }
    socket.set_no_delay(true);
    connection_ = std::make_unique<ClientConnection>(std::move(socket));
    connection_->set_receive_timeout(std::chrono::milliseconds(10000));
    const HandshakeResult result = client_handshake(*connection_, kPassword);
    if (result != HandshakeResult::Authenticated) {
      return ::testing::AssertionFailure() << describe(result);
    }
    connection_->set_receive_timeout(std::chrono::milliseconds(50));
    return ::testing::AssertionSuccess();
  }

  bool request(const StreamRequest& r) {
    return connection_->send(code(MessageType::StreamConfig), stream_config_payload(r));
  }

  // Receives for at most `seconds`, handing each stream event to `on_event` until it returns
  // true. Fails on a stream error or a closed connection; a time-out is no failure, `done`
  // tells whether on_event finished.
  ::testing::AssertionResult receive(double seconds,
                                     const std::function<bool(StreamReceiver::Event)>& on_event,
                                     bool* done = nullptr) {
    const auto until = std::chrono::steady_clock::now() + Seconds(seconds);
    if (done) *done = false;
    std::uint8_t type = 0;
    while (std::chrono::steady_clock::now() < until) {
      if (!connection_->receive(type, payload_)) {
        if (connection_->last_failure() == ClientConnection::Failure::Idle) continue;
        return ::testing::AssertionFailure() << "the host closed the connection";
      }
      const StreamReceiver::Event event = receiver_.handle(type, payload_, monotonic_us());
      if (event == StreamReceiver::Event::Error) {
        return ::testing::AssertionFailure() << "stream error: " << receiver_.error();
      }
      if (event != StreamReceiver::Event::None && on_event(event)) {
        if (done) *done = true;
        break;
      }
    }
    return ::testing::AssertionSuccess();
  }

  StreamReceiver& receiver() { return receiver_; }
  void close() { connection_.reset(); }

 private:
  std::unique_ptr<ClientConnection> connection_;
  std::vector<std::uint8_t> payload_;
  StreamReceiver receiver_;
};

class VideoE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<XvfbServer>(std::to_string(kDesktopWidth) + "x" +
                                         std::to_string(kDesktopHeight) + "x24");
    ASSERT_FALSE(xvfb_->display().empty()) << "Xvfb did not start";
    host_log_ = temp_path("host.log");
    host_ = std::make_unique<tolvi::testing::TestHost>(TOLVI_HOST_PROGRAM, kPassword,
                                                       xvfb_->display(), host_log_);
    ASSERT_TRUE(host_->started()) << "the host did not start listening: " << read_file(host_log_);
    port_ = static_cast<std::uint16_t>(std::stoul(host_->port()));
  }

  void TearDown() override {
    host_.reset();
    if (HasFailure()) std::printf("--- host log\n%s", read_file(host_log_).c_str());
    std::remove(host_log_.c_str());
    std::remove(temp_path("painter.log").c_str());
  }

  bool wait_for_host_log(const std::string& text, double seconds) {
    return tolvi::testing::file_shows(host_log_, text, seconds);
  }

  std::unique_ptr<XvfbServer> xvfb_;
  std::unique_ptr<tolvi::testing::TestHost> host_;
  std::string host_log_;
  std::uint16_t port_ = 0;
};

// The known picture arrives at each requested size: the first frame of every stream is a key
// frame with its SPS (the receiver refuses anything else), the pictures decode at the size
// StreamInfo announced with the blocks' colours, and the frame times rise.
TEST_F(VideoE2eTest, ReferenceBlocksArriveDecodedAtEachStreamSize) {
  paint_blocks(xvfb_->display());
  StreamClient client;
  ASSERT_TRUE(client.connect(port_));
  struct Case {
    std::int32_t view_width, view_height;
    std::uint32_t stream_width, stream_height;
    int tolerance;  // small pictures blur more at the block edges of the chroma planes
  };
  const Case cases[] = {
      {1280, 720, 1280, 720, 40},
      {640, 400, 640, 360, 40},
      {0, 0, 64, 36, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.view_width) + "x" + std::to_string(c.view_height));
    StreamRequest request;
    request.width = c.view_width;
    request.height = c.view_height;
    request.codec_mask = kCodecMaskH264;
    request.fps = 30;
    ASSERT_TRUE(client.request(request));
    bool have_info = false;
    ASSERT_TRUE(client.receive(
        10, [&](StreamReceiver::Event e) { return e == StreamReceiver::Event::Info; }, &have_info));
    ASSERT_TRUE(have_info) << "no StreamInfo";
    const StreamInfo& info = *client.receiver().info();
    EXPECT_EQ(info.codec, VideoCodec::H264);
    EXPECT_EQ(info.stream_width, c.stream_width);
    EXPECT_EQ(info.stream_height, c.stream_height);
    EXPECT_EQ(info.desktop_width, static_cast<std::uint32_t>(kDesktopWidth));
    EXPECT_EQ(info.desktop_height, static_cast<std::uint32_t>(kDesktopHeight));

    // A still screen is encoded, then refreshed twice within about half a second.
    const std::uint64_t frames_before = client.receiver().stats().frames;
    int pictures = 0;
    bool first = true;
    ASSERT_TRUE(client.receive(5, [&](StreamReceiver::Event e) {
      if (e == StreamReceiver::Event::Frame) ADD_FAILURE() << "a frame gave no picture";
      if (e != StreamReceiver::Event::Picture) return false;
      if (first) {
        EXPECT_TRUE(client.receiver().last_frame().key);
        EXPECT_TRUE(client.receiver().last_frame_has_sps());
        first = false;
      }
      RgbImage picture;
      EXPECT_TRUE(client.receiver().picture(picture));
      EXPECT_EQ(picture.width, static_cast<int>(c.stream_width));
      EXPECT_EQ(picture.height, static_cast<int>(c.stream_height));
      EXPECT_TRUE(shows_blocks(picture, c.tolerance));
      return ++pictures == 3;
    }));
    EXPECT_EQ(pictures, 3);
    EXPECT_EQ(client.receiver().stats().frames - frames_before, 3u);
  }
  EXPECT_EQ(client.receiver().stats().time_regressions, 0u);
}

// A client that stops reading: the host skips frames instead of queueing them (what reaches
// the client from the stalled time is bounded by the congestion limit, one frame and the
// socket buffers), and when the client reads again the newest picture follows at once.
TEST_F(VideoE2eTest, StalledClientMakesHostSkipThenGetsTheNewestPicture) {
  constexpr int kFps = 30;
  constexpr std::int32_t kKbps = 8000;  // congestion limit: the 128 KiB floor
  constexpr std::uint64_t kCongestionLimit = 131072;
  constexpr int kReceiveBuffer = 64 * 1024;                // the kernel doubles it
  constexpr std::uint64_t kSocketAllowance = 1024 * 1024;  // host send buffer and ours
  constexpr double kStallSeconds = 5;

  auto painter = std::make_unique<Child>(
      std::vector<std::string>{TOLVI_PAINTER_PROGRAM, "animate", std::to_string(kFps), "16"},
      xvfb_->display(), temp_path("painter.log"));
  ASSERT_TRUE(painter->started());
  StreamClient client;
  ASSERT_TRUE(client.connect(port_, kReceiveBuffer));
  StreamRequest request;
  request.width = kDesktopWidth;
  request.height = kDesktopHeight;
  request.codec_mask = kCodecMaskH264;
  request.fps = kFps;
  request.max_kbps = kKbps;
  ASSERT_TRUE(client.request(request));
  bool flowing = false;
  ASSERT_TRUE(client.receive(
      15, [&](StreamReceiver::Event) { return client.receiver().stats().frames >= 15; }, &flowing));
  ASSERT_TRUE(flowing) << "the animation did not stream: " << client.receiver().stats().summary();

  // Stop reading. Near the end of the stall the animation stops and the blocks are drawn:
  // the newest picture, which the host can only send once the backlog has drained.
  const std::uint64_t stall_start_us = monotonic_us();
  std::this_thread::sleep_for(Seconds(kStallSeconds - 1));
  painter.reset();
  paint_blocks(xvfb_->display());
  std::this_thread::sleep_for(Seconds(1));
  const std::uint64_t stall_end_us = monotonic_us();

  std::uint64_t stalled_frames = 0, stalled_bytes = 0, largest_frame = 0;
  std::uint64_t blocks_after_us = 0;
  ASSERT_TRUE(client.receive(3, [&](StreamReceiver::Event e) {
    if (e != StreamReceiver::Event::Frame && e != StreamReceiver::Event::Picture) return false;
    const VideoFrameView& f = client.receiver().last_frame();
    largest_frame = std::max<std::uint64_t>(largest_frame, f.size);
    if (f.time_us >= stall_start_us && f.time_us < stall_end_us) {
      ++stalled_frames;
      stalled_bytes += f.size + kVideoFrameHeaderBytes;
    }
    if (e == StreamReceiver::Event::Picture && !blocks_after_us) {
      RgbImage picture;
      if (client.receiver().picture(picture) && shows_blocks(picture, 40)) {
        blocks_after_us = monotonic_us() - stall_end_us;
      }
    }
    return false;
  }));
  std::printf(
      "stall of %.0f s: %llu frames, %llu bytes of it delivered (largest frame %llu); "
      "newest picture %.0f ms after reading again\n",
      kStallSeconds, static_cast<unsigned long long>(stalled_frames),
      static_cast<unsigned long long>(stalled_bytes),
      static_cast<unsigned long long>(largest_frame), blocks_after_us / 1000.0);
  const double produced = kFps * kStallSeconds;
  EXPECT_LT(static_cast<double>(stalled_frames), produced / 2)
      << stalled_frames << " frames of the stall reached the client";
  EXPECT_LE(stalled_bytes, kCongestionLimit + 2 * largest_frame + kSocketAllowance);
  EXPECT_NE(blocks_after_us, 0u) << "the newest picture never arrived";
  EXPECT_LT(blocks_after_us, 2'000'000u);
  RgbImage last;
  ASSERT_TRUE(client.receiver().picture(last));
  EXPECT_TRUE(shows_blocks(last, 40)) << "the last picture is not the newest";
  EXPECT_EQ(client.receiver().stats().time_regressions, 0u);

  // The host counted the frames it skipped.
  client.close();
  ASSERT_TRUE(wait_for_host_log("session ended", 10));
  const std::string log = read_file(host_log_);
  const std::size_t at = log.find("congested ");
  ASSERT_NE(at, std::string::npos) << "no encoder stats line";
  EXPECT_GT(std::atoi(log.c_str() + at + 10), 0) << log.substr(at, 40);
}

// Splits a recorded byte stream into access units and decodes them.
int decode_recording(const std::string& path, RgbImage& first_picture) {
  const std::string bytes = read_file(path);
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  if (!parser || !context) return -1;
  VideoDecoder decoder;
  decoder.open(VideoCodec::H264);
  int pictures = 0;
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t left = bytes.size();
  // One call more with no input flushes the last access unit out of the parser.
  for (bool flushing = false; !flushing;) {
    flushing = left == 0;
    std::uint8_t* unit = nullptr;
    int unit_size = 0;
    const int used = av_parser_parse2(parser, context, &unit, &unit_size, data,
                                      static_cast<int>(left), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    data += used;
    left -= static_cast<std::size_t>(used);
    if (unit_size > 0 &&
        decoder.decode(unit, static_cast<std::size_t>(unit_size)) ==
            VideoDecoder::Result::Picture &&
        pictures++ == 0) {
      decoder.picture_rgb(first_picture);
    }
  }
  av_parser_close(parser);
  avcodec_free_context(&context);
  return pictures;
}

// The program people use: --stream with --frames, --snapshot and --record, and its figures.
TEST_F(VideoE2eTest, ClientProgramSavesSnapshotRecordingAndFigures) {
  paint_blocks(xvfb_->display());
  const std::string out = temp_path("client.out");
  const std::string png = temp_path("first.png");
  const std::string recording = temp_path("stream.h264");
  Child client({TOLVI_CLIENT_PROGRAM, "127.0.0.1:" + std::to_string(port_), "--password", kPassword,
                "--stream", "640", "400", "30", "--codecs", "1", "--frames", "3", "--snapshot", png,
                "--record", recording},
               xvfb_->display(), out);
  const int rc = client.wait(30);
  const std::string text = read_file(out);
  EXPECT_EQ(rc, 0) << text;
  EXPECT_NE(text.find("stream: H.264 640x360 (desktop 1280x720)"), std::string::npos) << text;
  EXPECT_NE(text.find("stats: frames 3 key 1 decoded 3"), std::string::npos) << text;

  RgbImage snapshot;
  std::string why;
  ASSERT_TRUE(read_png(png, snapshot, why)) << why;
  EXPECT_EQ(snapshot.width, 640);
  EXPECT_EQ(snapshot.height, 360);
  EXPECT_TRUE(shows_blocks(snapshot, 40));

  RgbImage replayed;
  EXPECT_EQ(decode_recording(recording, replayed), 3);
  EXPECT_TRUE(shows_blocks(replayed, 40));
  for (const std::string& path : {out, png, recording}) std::remove(path.c_str());

  // Failures name their cause and exit with their own codes.
  struct Failure {
    std::vector<std::string> options;
    int rc;
    const char* text;
  };
  const Failure failures[] = {
      // No codec allowed: the host cannot build a stream and hangs up.
      {{"--codecs", "0", "--frames", "1"}, 6, "without a StreamInfo"},
      {{"--frames", "1", "--snapshot", "/nonexistent-folder/x.png"}, 1, "cannot create"},
  };
  for (const Failure& f : failures) {
    std::vector<std::string> args{TOLVI_CLIENT_PROGRAM,
                                  "127.0.0.1:" + std::to_string(port_),
                                  "--password",
                                  kPassword,
                                  "--stream",
                                  "640",
                                  "400",
                                  "30"};
    args.insert(args.end(), f.options.begin(), f.options.end());
    Child failing(args, xvfb_->display(), out);
    EXPECT_EQ(failing.wait(30), f.rc) << f.text;
    EXPECT_NE(read_file(out).find(f.text), std::string::npos) << read_file(out);
    std::remove(out.c_str());
  }
}

}  // namespace
}  // namespace tolvi::client
