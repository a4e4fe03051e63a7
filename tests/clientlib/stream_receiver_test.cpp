// The client's stream handling against access units encoded here with libx264, so decoding,
// checks and figures are tested without a host.
#include "stream_receiver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "protocol/message_types.h"
#include "stream_messages.h"
#include "video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace tolvi::client {
namespace {

constexpr int kWidth = 128;
constexpr int kHeight = 64;

// BT.709 studio-range Y, U, V of the two halves of the test picture, and their RGB.
struct Half {
  std::uint8_t y, u, v;
  std::uint8_t r, g, b;
};
constexpr Half kLeft{63, 102, 240, 255, 0, 0};  // red
constexpr Half kRight{173, 42, 26, 0, 255, 0};  // green

// An H.264 stream of the test picture as the host would send it: no B-frames, zero
// latency, the first frame a key frame with its parameter sets in band.
std::vector<std::vector<std::uint8_t>> encode_access_units(int count) {
  std::vector<std::vector<std::uint8_t>> out;
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return out;
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->width = kWidth;
  c->height = kHeight;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, 30};
  c->max_b_frames = 0;
  c->gop_size = 1000;
  c->colorspace = AVCOL_SPC_BT709;
  c->color_range = AVCOL_RANGE_MPEG;
  av_opt_set(c->priv_data, "preset", "ultrafast", 0);
  av_opt_set(c->priv_data, "tune", "zerolatency", 0);
  if (avcodec_open2(c, codec, nullptr) < 0) {
    avcodec_free_context(&c);
    return out;
  }
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  for (int i = 0; i < count; ++i) {
    av_frame_make_writable(frame);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        frame->data[0][y * frame->linesize[0] + x] = x < kWidth / 2 ? kLeft.y : kRight.y;
      }
    }
    for (int y = 0; y < kHeight / 2; ++y) {
      for (int x = 0; x < kWidth / 2; ++x) {
        const Half& h = x < kWidth / 4 ? kLeft : kRight;
        frame->data[1][y * frame->linesize[1] + x] = h.u;
        frame->data[2][y * frame->linesize[2] + x] = h.v;
      }
    }
    frame->pts = i;
    avcodec_send_frame(c, frame);
    while (avcodec_receive_packet(c, packet) == 0) {
      out.emplace_back(packet->data, packet->data + packet->size);
      av_packet_unref(packet);
    }
  }
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  return out;
}

std::vector<std::uint8_t> stream_info(std::uint8_t codec, std::uint32_t w, std::uint32_t h) {
  std::vector<std::uint8_t> p{codec};
  for (std::uint32_t v : {w, h, 2 * w, 2 * h}) {
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return p;
}

std::vector<std::uint8_t> video_frame(bool key, std::uint64_t time_us,
                                      const std::vector<std::uint8_t>& unit) {
  std::vector<std::uint8_t> p{static_cast<std::uint8_t>(key ? 1 : 0)};
  for (int i = 0; i < 8; ++i) p.push_back(static_cast<std::uint8_t>(time_us >> (8 * i)));
  p.insert(p.end(), unit.begin(), unit.end());
  return p;
}

constexpr std::uint8_t kInfo = code(MessageType::StreamInfo);
constexpr std::uint8_t kFrame = code(MessageType::VideoFrame);
constexpr std::uint8_t kCursor = code(MessageType::CursorShape);

void expect_colour(const RgbImage& image, int x, int y, const Half& want) {
  const std::uint8_t* p = image.pixel(x, y);
  constexpr int kTolerance = 12;
  EXPECT_NEAR(p[0], want.r, kTolerance) << "at " << x << "," << y;
  EXPECT_NEAR(p[1], want.g, kTolerance) << "at " << x << "," << y;
  EXPECT_NEAR(p[2], want.b, kTolerance) << "at " << x << "," << y;
}

class StreamReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_ERROR);
    units_ = encode_access_units(5);
    ASSERT_EQ(units_.size(), 5u) << "libx264 is needed to make the test stream";
  }
  std::string temp_path(const char* name) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              (std::string("tolvi-receiver-") + std::to_string(getpid()) + name))
                                 .string();
    made_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const std::string& path : made_) std::remove(path.c_str());
  }
  std::vector<std::vector<std::uint8_t>> units_;
  std::vector<std::string> made_;
};

TEST_F(StreamReceiverTest, DecodesPicturesRecordsAndCountsFigures) {
  StreamReceiver::Options options;
  options.snapshot_path = temp_path("-first.png");
  options.record_path = temp_path("-stream.h264");
  StreamReceiver receiver(options);
  ASSERT_EQ(receiver.handle(kInfo, stream_info(1, kWidth, kHeight), 0),
            StreamReceiver::Event::Info);
  std::size_t unit_bytes = 0;
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const std::uint64_t time_us = 1'000'000 + i * 33'333;
    // Received 4 ms after capture, the middle one 20 ms after.
    const std::uint64_t receipt_us = time_us + (i == 2 ? 20'000 : 4'000);
    ASSERT_EQ(receiver.handle(kFrame, video_frame(i == 0, time_us, units_[i]), receipt_us),
              StreamReceiver::Event::Picture)
        << receiver.error();
    unit_bytes += units_[i].size();
  }
  RgbImage picture;
  ASSERT_TRUE(receiver.picture(picture));
  ASSERT_EQ(picture.width, kWidth);
  ASSERT_EQ(picture.height, kHeight);
  expect_colour(picture, kWidth / 4, kHeight / 2, kLeft);
  expect_colour(picture, 3 * kWidth / 4, kHeight / 2, kRight);

  const StreamStats& s = receiver.stats();
  EXPECT_EQ(s.frames, 5u);
  EXPECT_EQ(s.key_frames, 1u);
  EXPECT_EQ(s.decoded, 5u);
  EXPECT_EQ(s.bytes, unit_bytes);
  EXPECT_EQ(s.time_regressions, 0u);
  EXPECT_DOUBLE_EQ(s.latency_ms(0.5), 4.0);
  EXPECT_DOUBLE_EQ(s.latency_ms(0.99), 20.0);
  EXPECT_NEAR(s.frames_per_second(), 30.0, 0.5);
  EXPECT_NE(s.summary().find("frames 5 key 1 decoded 5"), std::string::npos) << s.summary();

  // The snapshot is the first picture; the recording is the access units back to back.
  RgbImage snapshot;
  std::string why;
  ASSERT_TRUE(read_png(options.snapshot_path, snapshot, why)) << why;
  ASSERT_EQ(snapshot.width, kWidth);
  expect_colour(snapshot, kWidth / 4, kHeight / 2, kLeft);
  EXPECT_EQ(std::filesystem::file_size(options.record_path), unit_bytes);
}

TEST_F(StreamReceiverTest, EveryStreamInfoStartsAFreshStreamThatMustOpenWithAKeyFrame) {
  StreamReceiver receiver({});
  ASSERT_EQ(receiver.handle(kInfo, stream_info(1, kWidth, kHeight), 0),
            StreamReceiver::Event::Info);
  ASSERT_EQ(receiver.handle(kFrame, video_frame(true, 10, units_[0]), 20),
            StreamReceiver::Event::Picture);
  ASSERT_EQ(receiver.handle(kFrame, video_frame(false, 11, units_[1]), 21),
            StreamReceiver::Event::Picture);
  ASSERT_EQ(receiver.handle(kInfo, stream_info(1, kWidth, kHeight), 22),
            StreamReceiver::Event::Info);
  EXPECT_EQ(receiver.handle(kFrame, video_frame(false, 12, units_[2]), 23),
            StreamReceiver::Event::Error);
  EXPECT_NE(receiver.error().find("not a key frame"), std::string::npos) << receiver.error();
}

TEST_F(StreamReceiverTest, UnwritableOutputFilesAreLocalErrors) {
  StreamReceiver::Options snapshot;
  snapshot.snapshot_path = "/nonexistent-folder/first.png";
  StreamReceiver::Options record;
  record.record_path = "/nonexistent-folder/stream.h264";
  for (const StreamReceiver::Options& options : {snapshot, record}) {
    StreamReceiver receiver(options);
    receiver.handle(kInfo, stream_info(1, kWidth, kHeight), 0);
    EXPECT_EQ(receiver.handle(kFrame, video_frame(true, 1, units_[0]), 2),
              StreamReceiver::Event::Error);
    EXPECT_TRUE(receiver.error_is_local());
    EXPECT_NE(receiver.error().find("/nonexistent-folder/"), std::string::npos) << receiver.error();
  }
}

TEST_F(StreamReceiverTest, ProtocolFaultsAreReportedAsErrors) {
  // A key frame whose parameter sets are missing (the SPS and PPS NAL units cut away).
  std::vector<std::uint8_t> idr_only;
  const std::vector<std::uint8_t>& first = units_[0];
  for (std::size_t i = 0; i + 4 < first.size(); ++i) {
    if (first[i] == 0 && first[i + 1] == 0 && first[i + 2] == 1 && (first[i + 3] & 0x1F) == 5) {
      idr_only.assign(first.begin() + static_cast<long>(i), first.end());
      break;
    }
  }
  ASSERT_FALSE(idr_only.empty());
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> messages;
    const char* error;
  };
  const Case cases[] = {
      {"frame before StreamInfo", {{kFrame, video_frame(true, 1, first)}}, "before any StreamInfo"},
      {"short StreamInfo", {{kInfo, std::vector<std::uint8_t>(16, 1)}}, "malformed StreamInfo"},
      {"unknown codec", {{kInfo, stream_info(3, kWidth, kHeight)}}, "malformed StreamInfo"},
      {"short VideoFrame",
       {{kInfo, stream_info(1, kWidth, kHeight)}, {kFrame, std::vector<std::uint8_t>(8, 1)}},
       "malformed VideoFrame"},
      {"key frame without SPS",
       {{kInfo, stream_info(1, kWidth, kHeight)}, {kFrame, video_frame(true, 1, idr_only)}},
       "no sequence parameter set"},
      {"size differs from StreamInfo",
       {{kInfo, stream_info(1, kWidth * 2, kHeight)}, {kFrame, video_frame(true, 1, first)}},
       "the stream is 256x64"},
      {"cursor pixels short",
       {{kCursor, std::vector<std::uint8_t>{2, 0, 2, 0, 0, 0, 0, 0, 1, 2, 3, 4}}},
       "malformed CursorShape"},
  };
  for (const Case& c : cases) {
    StreamReceiver receiver({});
    StreamReceiver::Event last = StreamReceiver::Event::None;
    for (const auto& [type, payload] : c.messages) last = receiver.handle(type, payload, 5);
    EXPECT_EQ(last, StreamReceiver::Event::Error) << c.what;
    EXPECT_FALSE(receiver.error_is_local()) << c.what;
    EXPECT_NE(receiver.error().find(c.error), std::string::npos)
        << c.what << ": " << receiver.error();
  }
}

TEST(StreamMessages, CursorShapesAndHiddenPointer) {
  CursorShapeInfo info;
  std::vector<std::uint8_t> shape{2, 0, 1, 0, 1, 0, 0, 0};
  shape.resize(8 + 2 * 1 * 4, 0xff);
  ASSERT_TRUE(parse_cursor_shape(shape, info));
  EXPECT_FALSE(info.hidden);
  EXPECT_EQ(info.width, 2);
  EXPECT_EQ(info.hot_x, 1);
  ASSERT_TRUE(parse_cursor_shape(std::vector<std::uint8_t>(8, 0), info));
  EXPECT_TRUE(info.hidden);
}

TEST(StreamMessages, StreamConfigLayout) {
  StreamRequest r;
  r.width = 1920;
  r.height = -1;
  r.codec_mask = 1;
  r.fps = 60;
  r.max_kbps = 100000;
  const std::vector<std::uint8_t> want{0x80, 0x07, 0, 0,  0xff, 0xff, 0xff, 0xff, 100,
                                       0,    0,    1, 60, 0,    0xa0, 0x86, 0x01, 0};
  EXPECT_EQ(stream_config_payload(r), want);
}

TEST(StreamMessages, SequenceParameterSetScan) {
  struct Case {
    VideoCodec codec;
    std::vector<std::uint8_t> data;
    bool sps;
  };
  const Case cases[] = {
      {VideoCodec::H264, {0, 0, 0, 1, 0x67, 0x64}, true},
      {VideoCodec::H264, {0, 0, 1, 0x65, 0, 0, 1, 0x27}, true},  // after another NAL unit
      {VideoCodec::H264, {0, 0, 0, 1, 0x65, 0x88}, false},
      {VideoCodec::H264, {0, 0, 1}, false},
      {VideoCodec::Hevc, {0, 0, 0, 1, 0x42, 0x01}, true},
      {VideoCodec::Hevc, {0, 0, 0, 1, 0x40, 0x01}, false},  // video parameter set only
      {VideoCodec::Hevc, {0, 0, 1, 0x67}, false},           // H.264's SPS header byte
  };
  for (const Case& c : cases) {
    EXPECT_EQ(has_sequence_parameter_set(c.codec, c.data.data(), c.data.size()), c.sps)
        << codec_name(c.codec) << " case of " << c.data.size() << " bytes";
  }
}

TEST(PngFile, WritesAndReadsBackPixelsExactly) {
  RgbImage image;
  image.width = 3;
  image.height = 2;
  for (int i = 0; i < 18; ++i) image.rgb.push_back(static_cast<std::uint8_t>(i * 14));
  const std::string path =
      (std::filesystem::temp_directory_path() / ("tolvi-png-" + std::to_string(getpid()) + ".png"))
          .string();
  std::string why;
  ASSERT_TRUE(write_png(image, path, why)) << why;
  RgbImage back;
  ASSERT_TRUE(read_png(path, back, why)) << why;
  std::remove(path.c_str());
  EXPECT_EQ(back.width, 3);
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(back.rgb, image.rgb);
  EXPECT_FALSE(read_png(path, back, why));
  EXPECT_NE(why.find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace tolvi::client
