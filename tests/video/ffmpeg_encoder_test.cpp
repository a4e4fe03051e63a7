// The portable Encoder over FFmpeg's encoders as this machine has them: the hardware ones
// cannot open without their devices, libx264 does.
extern "C" {
#include <libavcodec/avcodec.h>
}
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/encoder.h"
#include "video/encoder.h"

namespace tolvi {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Sent {
  std::vector<std::uint8_t> data;
  bool keyframe;
  std::uint64_t time_us;
};

platform::Nv12Image grey_frame(int w, int h, std::uint8_t luma) {
  platform::Nv12Image frame;
  frame.resize(w, h);
  std::fill(frame.data.begin(), frame.data.begin() + static_cast<long>(frame.y_size()), luma);
  std::fill(frame.data.begin() + static_cast<long>(frame.y_size()), frame.data.end(), 128);
  return frame;
}

// Decodes one access unit with a fresh decoder; the Y value in the middle, or -1.
int decode_alone(const std::vector<std::uint8_t>& unit) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int middle = -1;
  if (avcodec_open2(context, codec, nullptr) == 0) {
    av_new_packet(packet, static_cast<int>(unit.size()));
    std::copy(unit.begin(), unit.end(), packet->data);
    if (avcodec_send_packet(context, packet) == 0 && avcodec_send_packet(context, nullptr) == 0 &&
        avcodec_receive_frame(context, frame) == 0) {
      middle = frame->data[0][(frame->height / 2) * frame->linesize[0] + frame->width / 2];
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return middle;
}

TEST(FfmpegEncoder, HardwareFailsCleanlyAndLibx264Streams) {
  std::shared_ptr<platform::EncoderCatalogue> catalogue = platform::make_encoder_catalogue();
  ASSERT_TRUE(catalogue);
  std::vector<Sent> sent;
  HardwareEncoderProbes probes;
  Encoder encoder(probes);
  ::testing::internal::CaptureStderr();
  const bool opened =
      encoder.open(catalogue, 640, 360, 30, 2000, /*prefer_hevc=*/true,
                   [&](const std::uint8_t* data, std::uint64_t size, bool key, std::uint64_t time) {
                     sent.push_back({std::vector<std::uint8_t>(data, data + size), key, time});
                   });
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(opened) << log;
  // This machine has no GPU: every hardware candidate was probed and found unusable.
  std::vector<platform::EncoderCandidate> hardware;
  ASSERT_TRUE(catalogue->enumerate(platform::VideoCodec::kHevc, true, hardware));
  ASSERT_TRUE(catalogue->enumerate(platform::VideoCodec::kH264, true, hardware));
  for (const auto& candidate : hardware) {
    EXPECT_THAT(log, HasSubstr("encoder " + candidate.name + " (" +
                               (candidate.codec == platform::VideoCodec::kHevc ? "HEVC" : "H.264") +
                               ") not usable on this machine"));
  }
  EXPECT_THAT(log, Not(HasSubstr("rejected")));
  // The next reconfiguration goes straight to libx264, without a word about the hardware.
  {
    Encoder rebuilt(probes);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(rebuilt.open(catalogue, 1280, 720, 30, 2000, true, [](auto...) {}));
    const std::string again = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(again, Not(HasSubstr("not usable")));
    EXPECT_THAT(again, HasSubstr("encoder: libx264"));
  }
  EXPECT_THAT(log, HasSubstr("encoder: libx264 (H.264, sync, CPU upload)"));
  EXPECT_FALSE(encoder.is_hevc());
  EXPECT_FALSE(encoder.is_hardware());

  // The parameter sets come as a sequence header: SPS first.
  const std::vector<std::uint8_t>& header = encoder.sequence_header();
  ASSERT_GE(header.size(), 5u);
  EXPECT_EQ(std::vector<std::uint8_t>(header.begin(), header.begin() + 5),
            (std::vector<std::uint8_t>{0, 0, 0, 1, 0x67}));

  for (int i = 0; i < 5; ++i) {
    if (i == 3) encoder.request_keyframe();
    ASSERT_TRUE(encoder.encode_frame(grey_frame(640, 360, static_cast<std::uint8_t>(60 + i * 30)),
                                     1000000u + static_cast<std::uint64_t>(i) * 33333u));
  }
  ASSERT_EQ(sent.size(), 5u);  // no output delay
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sent[i].keyframe, i == 0 || i == 3);
    EXPECT_EQ(sent[i].time_us, 1000000u + static_cast<std::uint64_t>(i) * 33333u);
    EXPECT_EQ(contains_sps(sent[i].data, false), sent[i].keyframe);
  }
  // A key frame, with the parameter sets put in front, decodes on its own: a client can join
  // or recover there.
  EXPECT_NEAR(decode_alone(sent[3].data), 150, 3);
  EXPECT_EQ(encoder.frames_in(), 5u);
  EXPECT_EQ(encoder.frames_out(), 5u);
}

TEST(FfmpegEncoder, WrongFrameSizeIsRefused) {
  Encoder encoder;
  ASSERT_TRUE(encoder.open(platform::make_encoder_catalogue(), 320, 240, 60, 2000, false,
                           [](const std::uint8_t*, std::uint64_t, bool, std::uint64_t) {}));
  EXPECT_FALSE(encoder.encode_frame(grey_frame(640, 360, 16), 1));
  EXPECT_TRUE(encoder.encode_frame(grey_frame(320, 240, 16), 2));
}

}  // namespace
}  // namespace tolvi
