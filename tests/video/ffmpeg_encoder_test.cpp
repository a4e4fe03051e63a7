// The portable Encoder over FFmpeg's encoders as this machine has them: the hardware ones
// cannot open without their devices, libx264 does.
extern "C" {
#include <libavcodec/avcodec.h>
}
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
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

// The colour description a decoder reads from one access unit: primaries, transfer, matrix and
// range, or empty.
std::vector<int> decoded_colour(const std::vector<std::uint8_t>& unit) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<int> colour;
  if (avcodec_open2(context, codec, nullptr) == 0) {
    av_new_packet(packet, static_cast<int>(unit.size()));
    std::copy(unit.begin(), unit.end(), packet->data);
    if (avcodec_send_packet(context, packet) == 0 && avcodec_send_packet(context, nullptr) == 0 &&
        avcodec_receive_frame(context, frame) == 0) {
      colour = {frame->color_primaries, frame->color_trc, frame->colorspace, frame->color_range};
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return colour;
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

TEST(FfmpegEncoder, HardwareFailsCleanlyAndX264Streams) {
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
    EXPECT_THAT(again, HasSubstr("encoder: x264"));
  }
  EXPECT_THAT(log, HasSubstr("encoder: x264 (H.264, sync, CPU upload)"));
  EXPECT_FALSE(encoder.is_hevc());
  EXPECT_FALSE(encoder.is_hardware());
}

// The software candidates one at a time: libx264 straight and through libavcodec.
class OneSoftwareCandidate : public platform::EncoderCatalogue {
 public:
  explicit OneSoftwareCandidate(std::string name)
      : inner_(platform::make_encoder_catalogue()), name_(std::move(name)) {}
  std::optional<std::uint64_t> capture_adapter_id() const override { return std::nullopt; }
  bool enumerate(platform::VideoCodec codec, bool hardware,
                 std::vector<platform::EncoderCandidate>& candidates) override {
    if (hardware) return true;
    std::vector<platform::EncoderCandidate> all;
    if (!inner_->enumerate(codec, hardware, all)) return false;
    for (auto& candidate : all) {
      if (candidate.name == name_) candidates.push_back(candidate);
    }
    return true;
  }
  std::unique_ptr<platform::EncoderTransform> activate(
      const platform::EncoderCandidate& candidate) override {
    return inner_->activate(candidate);
  }

 private:
  std::unique_ptr<platform::EncoderCatalogue> inner_;
  std::string name_;
};

TEST(FfmpegEncoder, EachSoftwareEncoderStreamsWithKeyFramesOnRequest) {
  for (const char* name : {"x264", "libx264"}) {
    SCOPED_TRACE(name);
    std::vector<Sent> sent;
    Encoder encoder;
    ::testing::internal::CaptureStderr();
    const bool opened = encoder.open(
        std::make_shared<OneSoftwareCandidate>(name), 640, 360, 30, 2000, false,
        [&](const std::uint8_t* data, std::uint64_t size, bool key, std::uint64_t time) {
          sent.push_back({std::vector<std::uint8_t>(data, data + size), key, time});
        });
    const std::string log = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(opened) << log;
    EXPECT_THAT(log, HasSubstr(std::string("encoder: ") + name + " (H.264, sync, CPU upload)"));

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
    // BT.709 throughout, studio range.
    EXPECT_EQ(decoded_colour(sent[0].data), (std::vector<int>{AVCOL_PRI_BT709, AVCOL_TRC_BT709,
                                                              AVCOL_SPC_BT709, AVCOL_RANGE_MPEG}));
    EXPECT_EQ(encoder.frames_in(), 5u);
    EXPECT_EQ(encoder.frames_out(), 5u);
  }
}

// Decodes a stream in order and hands each picture to `on_picture`.
template <typename OnPicture>
void for_each_decoded(const std::vector<Sent>& units, OnPicture&& on_picture) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  if (avcodec_open2(context, codec, nullptr) == 0) {
    for (const Sent& unit : units) {
      av_new_packet(packet, static_cast<int>(unit.data.size()));
      std::copy(unit.data.begin(), unit.data.end(), packet->data);
      if (avcodec_send_packet(context, packet) != 0) break;
      av_packet_unref(packet);
      while (avcodec_receive_frame(context, frame) == 0) on_picture(*frame);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
}

// For each decoded picture, the luma at each of `points`.
std::vector<std::vector<int>> decode_stream(const std::vector<Sent>& units,
                                            const std::vector<std::pair<int, int>>& points) {
  std::vector<std::vector<int>> pictures;
  for_each_decoded(units, [&](const AVFrame& frame) {
    std::vector<int> values;
    for (const auto& [x, y] : points) values.push_back(frame.data[0][y * frame.linesize[0] + x]);
    pictures.push_back(std::move(values));
  });
  return pictures;
}

// For each decoded picture, the summed luma difference from `source`.
std::vector<long> decoded_errors(const std::vector<Sent>& units,
                                 const platform::Nv12Image& source) {
  std::vector<long> errors;
  for_each_decoded(units, [&](const AVFrame& frame) {
    long error = 0;
    for (int y = 0; y < source.height; ++y) {
      for (int x = 0; x < source.width; ++x) {
        error += std::abs(frame.data[0][y * frame.linesize[0] + x] -
                          source.y_plane()[y * source.width + x]);
      }
    }
    errors.push_back(error);
  });
  return errors;
}

// A picture encoded again and said to be unchanged still gets better where the first encoding
// was coarse: telling x264 nothing changed must not stop a refresh from sharpening the view.
TEST(FfmpegEncoder, AnUnchangedPictureEncodedAgainStillSharpens) {
  std::vector<Sent> sent;
  Encoder encoder;
  ASSERT_TRUE(
      encoder.open(std::make_shared<OneSoftwareCandidate>("x264"), 640, 360, 30, 400, false,
                   [&](const std::uint8_t* data, std::uint64_t size, bool key, std::uint64_t time) {
                     sent.push_back({std::vector<std::uint8_t>(data, data + size), key, time});
                   }));
  platform::Nv12Image picture = grey_frame(640, 360, 60);
  ASSERT_TRUE(encoder.encode_frame(picture, 0));
  for (int y = 0; y < 360; ++y) {
    for (int x = 0; x < 640; ++x) {
      picture.y_plane()[y * 640 + x] =
          static_cast<std::uint8_t>(40 + (x * 7 + y * 13) % 64 + ((x / 8 + y / 8) % 2) * 100);
    }
  }
  picture.changed.reset();  // the big change: anything may differ
  ASSERT_TRUE(encoder.encode_frame(picture, 33333));
  for (int refresh = 0; refresh < 6; ++refresh) {
    picture.changed = platform::DesktopRect{};
    ASSERT_TRUE(encoder.encode_frame(picture, 150000u * static_cast<unsigned>(refresh + 1)));
  }
  const std::vector<long> errors = decoded_errors(sent, picture);
  ASSERT_EQ(errors.size(), 8u);
  EXPECT_LT(errors[7], errors[1] * 9 / 10) << errors[1] << " then " << errors[7];
}

// The first picture of an encoder (a client's first look, or the first after a resize) is sharp
// at once, not a coarse start that refreshes take seconds to mend, and still takes no more than
// a quarter of a second at the max rate.
TEST(FfmpegEncoder, FirstPictureIsSharpWithinAQuarterSecondAtTheMaxRate) {
  constexpr std::int32_t kKbps = 2000;
  constexpr std::size_t kBudgetBytes = kKbps * 1500 / 4 / 8;
  constexpr std::size_t kNoticeBytes = 1024;  // x264's notice of its version and options
  std::vector<Sent> sent;
  Encoder encoder;
  ASSERT_TRUE(
      encoder.open(std::make_shared<OneSoftwareCandidate>("x264"), 640, 360, 30, kKbps, false,
                   [&](const std::uint8_t* data, std::uint64_t size, bool key, std::uint64_t time) {
                     sent.push_back({std::vector<std::uint8_t>(data, data + size), key, time});
                   }));
  // Like a page of small text: dark strokes on white, no two glyphs alike.
  platform::Nv12Image picture = grey_frame(640, 360, 235);
  std::uint32_t seed = 1;
  for (int y = 0; y < 360; ++y) {
    for (int x = 0; x < 640; ++x) {
      seed = seed * 1103515245u + 12345u;
      if (y % 12 < 9 && (seed >> 16) % 3 == 0) picture.y_plane()[y * 640 + x] = 16;
    }
  }
  for (int n = 0; n < 7; ++n) {
    ASSERT_TRUE(encoder.encode_frame(picture, 150000u * static_cast<unsigned>(n)));
    picture.changed = platform::DesktopRect{};
  }
  ASSERT_TRUE(sent[0].keyframe);
  EXPECT_LE(sent[0].data.size(), kBudgetBytes + kNoticeBytes);
  // Text stays readable: the mean error is a small part of the strokes' contrast (a first
  // picture squeezed into one frame's VBV is off by a quarter of it).
  constexpr long kContrast = 235 - 16;
  const std::vector<long> errors = decoded_errors(sent, picture);
  ASSERT_EQ(errors.size(), 7u);
  EXPECT_LT(errors[0] / (640 * 360), kContrast / 10) << sent[0].data.size() << " bytes";
}

// Pictures that say where they changed still decode to themselves: the changed blocks are
// encoded, wherever they sit against the macroblock grid, and what was left unchanged stays.
TEST(FfmpegEncoder, PicturesThatSayWhereTheyChangedDecodeToThemselves) {
  std::vector<Sent> sent;
  Encoder encoder;
  ASSERT_TRUE(
      encoder.open(std::make_shared<OneSoftwareCandidate>("x264"), 640, 360, 30, 4000, false,
                   [&](const std::uint8_t* data, std::uint64_t size, bool key, std::uint64_t time) {
                     sent.push_back({std::vector<std::uint8_t>(data, data + size), key, time});
                   }));
  struct Block {
    int x, y;
  };
  // Four-pixel white blocks: on a macroblock's first pixels, across a corner, on its last ones.
  const Block blocks[] = {{96, 48}, {174, 94}, {332, 236}, {636, 356}};
  constexpr int kSide = 4;
  platform::Nv12Image picture = grey_frame(640, 360, 60);
  ASSERT_TRUE(encoder.encode_frame(picture, 0));
  std::vector<std::pair<int, int>> points = {{8, 8}};
  for (const Block& b : blocks) points.emplace_back(b.x + kSide / 2, b.y + kSide / 2);
  for (std::size_t i = 0; i < std::size(blocks); ++i) {
    for (int y = blocks[i].y; y < blocks[i].y + kSide; ++y) {
      std::fill_n(picture.y_plane() + y * 640 + blocks[i].x, kSide, 235);
    }
    picture.changed =
        platform::DesktopRect{blocks[i].x, blocks[i].y, blocks[i].x + kSide, blocks[i].y + kSide};
    for (int repeat = 0; repeat < 3; ++repeat) {  // then unchanged, said so
      ASSERT_TRUE(encoder.encode_frame(picture, (i * 3 + repeat + 1) * 33333u));
      picture.changed = platform::DesktopRect{};
    }
  }
  const auto decoded = decode_stream(sent, points);
  ASSERT_EQ(decoded.size(), 1 + 3 * std::size(blocks));
  for (std::size_t n = 0; n < decoded.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_NEAR(decoded[n][0], 60, 4);
    for (std::size_t b = 0; b < std::size(blocks); ++b) {
      const bool drawn = n >= 1 + 3 * b;
      EXPECT_NEAR(decoded[n][1 + b], drawn ? 235 : 60, 40) << "block " << b;
    }
  }
}

// Rate control on the x264 path: the cap is a ceiling, not a target. A small change on a still
// picture costs a small frame, however much of the cap is left; a picture that changes
// everywhere is held within one frame time at the max rate (1.5 x the cap).
TEST(FfmpegEncoder, SmallChangesCostLittleAndFullMotionStaysWithinTheCap) {
  constexpr int kWidth = 1280, kHeight = 720, kFps = 30, kKbps = 4000;
  constexpr std::size_t kFrameBudget = kKbps * 1500 / kFps / 8;  // bytes
  std::vector<Sent> sent;
  Encoder encoder;
  ASSERT_TRUE(encoder.open(
      std::make_shared<OneSoftwareCandidate>("x264"), kWidth, kHeight, kFps, kKbps, false,
      [&](const std::uint8_t* data, std::uint64_t size, bool key, std::uint64_t time) {
        sent.push_back({std::vector<std::uint8_t>(data, data + size), key, time});
      }));
  // Flat cells of noisy colours, a new set each frame: nothing to predict from.
  std::uint32_t seed = 7;
  const auto paint = [&](platform::Nv12Image& picture, const platform::DesktopRect& area) {
    constexpr int kCell = 24;
    for (int y = area.top; y < area.bottom; ++y) {
      for (int x = area.left; x < area.right; ++x) {
        if (x % kCell == area.left % kCell || x == area.left) {
          seed = seed * 1103515245u + 12345u;
        }
        const std::uint32_t cell =
            (seed >> 8) ^ static_cast<std::uint32_t>((y / kCell) * 2654435761u);
        picture.y_plane()[y * kWidth + x] = static_cast<std::uint8_t>(16 + cell % 220);
        picture.uv_plane()[(y / 2) * kWidth + (x & ~1) + (x & 1)] =
            static_cast<std::uint8_t>(16 + (cell >> 8) % 224);
      }
    }
  };
  platform::Nv12Image picture = grey_frame(kWidth, kHeight, 120);
  std::uint64_t time = 0;
  const auto encode = [&](std::optional<platform::DesktopRect> changed) {
    picture.changed = changed;
    ASSERT_TRUE(encoder.encode_frame(picture, time += 1000000 / kFps));
  };
  encode(std::nullopt);
  for (int i = 0; i < 5; ++i) encode(platform::DesktopRect{});  // still
  // A small area that keeps changing (a 160x90 video, or typing), long enough for a rate
  // control that aims at a mean to have raised its spending; then the picture is still again.
  const platform::DesktopRect area{600, 300, 760, 390};
  std::size_t small = 0;
  for (int i = 0; i < 40; ++i) {
    paint(picture, area);
    encode(area);
    if (i >= 30) small = std::max(small, sent.back().data.size());
  }
  for (int i = 0; i < 3; ++i) encode(platform::DesktopRect{});
  std::size_t still = 0;
  for (std::size_t i = sent.size() - 3; i < sent.size(); ++i) {
    still = std::max(still, sent[i].data.size());
  }
  // Full motion: every pixel new, every frame.
  std::size_t moving = 0;
  for (int i = 0; i < 10; ++i) {
    paint(picture, {0, 0, kWidth, kHeight});
    encode(std::nullopt);
    moving = std::max(moving, sent.back().data.size());
  }
  // A mean rate would spend about a frame's share of the cap (16.7 KB) on the small area too.
  EXPECT_LT(small, kFrameBudget / 8) << "a small change";
  EXPECT_LT(still, kFrameBudget / 20) << "a still picture after it";
  // Within the frame's VBV, and near it: full motion uses what the cap allows.
  EXPECT_LE(moving, kFrameBudget + kFrameBudget / 10);
  EXPECT_GT(moving, kFrameBudget / 2);
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
