#include "video/capture_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "base/run_mode.h"
#include "fakes/fake_capture.h"
#include "fakes/fake_encoder.h"
#include "protocol/message_types.h"

namespace tolvi {
namespace {

using fakes::DesktopEvent;
using fakes::FakeShape;
using fakes::SentMessage;
using platform::AcquireStatus;

constexpr std::uint64_t kMs = 1000;

// The pipeline with fakes all round.
struct PipelineRig {
  PipelineRig() { h264_ = catalogue_->add("x264", platform::VideoCodec::kH264, false); }

  CapturePipeline& pipeline() {
    if (!pipeline_) {
      CapturePlatform platform;
      platform.make_capture_device = [this]() -> std::unique_ptr<platform::CaptureDevice> {
        if (!have_device_) return nullptr;
        return std::make_unique<fakes::FakeCaptureDevice>(desktop_);
      };
      platform.make_converter = [this] {
        return std::make_unique<fakes::FakeConverter>(converter_);
      };
      platform.make_encoder_catalogue = [this] { return catalogue_; };
      platform.allow_resolution_change = [] { return true; };
      platform.follow_input_desktop = [this] {
        if (follow_input_desktop_) follow_input_desktop_();
      };
      platform.clock = &clock_;
      pipeline_ = std::make_unique<CapturePipeline>(host_, display_, std::move(platform));
    }
    return *pipeline_;
  }

  // Asks for `config` at `at_us`, then runs the loop until `end_us`.
  void run(std::uint64_t end_us) {
    host_.end_us = end_us;
    ASSERT_TRUE(pipeline().init_capture_device());
    pipeline().run();
  }
  void ask(ClientConfig config, std::uint64_t at_us) { host_.configs.emplace_back(at_us, config); }
  // `count` new pictures, one every `interval_us` from now on.
  void changes_every(std::uint64_t interval_us, int count) {
    for (int i = 1; i <= count; ++i) {
      DesktopEvent change;
      change.at_us = clock_.now + static_cast<std::uint64_t>(i) * interval_us;
      change.picture = true;
      desktop_.events.push_back(change);
    }
  }

  std::vector<SentMessage> sent(MessageType type) const { return host_.of_type(code(type)); }
  static std::uint64_t frame_time(const SentMessage& m) {
    std::uint64_t t = 0;
    for (int i = 0; i < 8; ++i) t |= std::uint64_t{m.payload[1 + i]} << (8 * i);
    return t;
  }

  fakes::FakeClock clock_;
  fakes::FakeDesktopState desktop_{clock_};
  fakes::FakeConverterState converter_;
  std::shared_ptr<fakes::FakeCatalogue> catalogue_ = std::make_shared<fakes::FakeCatalogue>();
  std::shared_ptr<fakes::FakeTransformState> h264_;
  fakes::FakeStreamHost host_{clock_};
  fakes::FakeDisplayController display_;
  bool have_device_ = true;
  std::function<void()> follow_input_desktop_;
  std::unique_ptr<CapturePipeline> pipeline_;
};

class CapturePipelineTest : public ::testing::Test, public PipelineRig {};

ClientConfig view(std::int32_t w, std::int32_t h, std::uint16_t fps = 60) {
  ClientConfig config;
  config.width = w;
  config.height = h;
  config.fps = fps;
  return config;
}

TEST_F(CapturePipelineTest, NoCaptureDeviceFailsTheSetUp) {
  have_device_ = false;
  EXPECT_FALSE(pipeline().init_capture_device());
}

TEST_F(CapturePipelineTest, StillScreenIsEncodedThreeTimesAtTheChangeAnd150And500Ms) {
  ask(view(1280, 720), clock_.now);
  const std::uint64_t start = clock_.now;
  run(start + 2000 * kMs);

  const auto info = sent(MessageType::StreamInfo);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].payload, stream_info_payload(false, {1280, 720}, 1920, 1080));
  EXPECT_EQ(host_.limit, 131072u);
  EXPECT_EQ(display_.device, "fake-0");
  EXPECT_EQ(display_.restores, 1);  // no matching asked: the host's own mode

  const auto frames = sent(MessageType::VideoFrame);
  ASSERT_EQ(frames.size(), 3u);
  const std::uint64_t first = frame_time(frames[0]);
  EXPECT_LT(first - start, 2 * kMs);
  EXPECT_EQ(frames[0].payload[0], 1);  // the stream starts with a key frame
  const std::uint64_t second = frame_time(frames[1]) - first;
  const std::uint64_t third = frame_time(frames[2]) - first;
  EXPECT_GT(second, 150 * kMs);
  EXPECT_LT(second, 170 * kMs);
  EXPECT_GT(third, 500 * kMs);
  EXPECT_LT(third, 520 * kMs);
  EXPECT_EQ(pipeline().conversions(), 3u);
  // Conversions rotate through the pool.
  EXPECT_EQ(std::set(converter_.targets.begin(), converter_.targets.end()).size(), 3u);
}

TEST_F(CapturePipelineTest, FramesArePacedAndThePoolHasFourSlots) {
  ask(view(1920, 1080, 30), clock_.now);
  const std::uint64_t start = clock_.now;
  changes_every(5 * kMs, 100);
  run(start + 400 * kMs);
  const auto frames = sent(MessageType::VideoFrame);
  ASSERT_GE(frames.size(), 10u);
  // At most the asked rate: gaps shrink only by how late a frame's predecessor was (a wake-up
  // is at most a millisecond late), and never below that.
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GE(frame_time(frames[i]) - frame_time(frames[i - 1]), 1000000u / 30 - 2 * kMs) << i;
  }
  EXPECT_LE(frames.size(), 400u / 33 + 1);
  ASSERT_GE(converter_.targets.size(), 8u);
  EXPECT_EQ(std::set(converter_.targets.begin(), converter_.targets.end()).size(), 4u);
  EXPECT_EQ(converter_.targets[0], converter_.targets[4]);
  EXPECT_NE(converter_.targets[0], converter_.targets[1]);
}

TEST_F(CapturePipelineTest, EachSlotConvertsTheAreaChangedSinceItWasLastConverted) {
  // Changes 50 ms apart (each encoded in its own frame) in different rows; the third copy
  // cannot tell what it changed. A slot's first conversion is whole, then each gets the area
  // changed since its own last one: the pool has four slots.
  ask(view(1920, 1080, 60), clock_.now);
  const std::uint64_t start = clock_.now;
  const std::optional<platform::DesktopRect> changes[] = {
      platform::DesktopRect{0, 100, 50, 110},
      platform::DesktopRect{10, 300, 20, 301},
      std::nullopt,
      platform::DesktopRect{0, 1070, 1920, 1080},
      platform::DesktopRect{5, 40, 6, 41},
      platform::DesktopRect{0, 500, 10, 520},
      platform::DesktopRect{0, 600, 10, 620},
      platform::DesktopRect{0, 700, 10, 720},
      platform::DesktopRect{0, 800, 10, 820}};
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    DesktopEvent change;
    change.at_us = start + (i + 1) * 50 * kMs;
    change.picture = true;
    change.changed = changes[i];
    desktop_.events.push_back(change);
  }
  run(start + 620 * kMs);  // and the first refresh, 150 ms after the last change
  using Rect = platform::DesktopRect;
  const Rect all{0, 0, 1920, 1080};
  const std::vector<Rect> expected = {
      all, all, all, all,     // first picture, changes 1-3
      all,                    // slot 1: changes 1-4 (3 is everything)
      all,                    // slot 2: changes 2-5
      all,                    // slot 3: changes 3-6
      {0, 40, 1920, 1080},    // slot 4: changes 4-7
      {0, 40, 10, 720},       // slot 1: changes 5-8
      {0, 500, 10, 820},      // slot 2: changes 6-9
      {0, 600, 10, 820},      // slot 3, the refresh: changes 7-9
  };
  EXPECT_EQ(converter_.areas, expected);

  // The encoder is told what changed since the frame before: nothing known with the first
  // picture, nothing at all with the refresh.
  std::vector<std::optional<platform::DesktopRect>> told = {std::nullopt};
  for (const auto& change : changes) {
    told.push_back(change.value_or(platform::DesktopRect{0, 0, 1920, 1080}));
  }
  told.push_back(platform::DesktopRect{});
  EXPECT_EQ(h264_->changes, told);
}

TEST_F(CapturePipelineTest, AScaledStreamIsNotToldWhatChanged) {
  ask(view(1280, 720, 60), clock_.now);
  DesktopEvent change;
  change.at_us = clock_.now + 50 * kMs;
  change.picture = true;
  change.changed = platform::DesktopRect{0, 100, 50, 110};
  desktop_.events.push_back(change);
  run(clock_.now + 100 * kMs);
  ASSERT_EQ(h264_->changes.size(), 2u);
  EXPECT_FALSE(h264_->changes[1]);
}

TEST_F(CapturePipelineTest, A60HzDesktopStreamsAt60FramesPerSecond) {
  // Changes exactly every 1/60 s, seen up to 0.8 ms late: waking up a little late for each one
  // must not, added up, cost frames.
  desktop_.wake_latencies_us = {800, 100, 400, 0};
  ask(view(1920, 1080, 60), clock_.now);
  const std::uint64_t start = clock_.now;
  for (int i = 1; i <= 240; ++i) {
    DesktopEvent change;
    change.at_us = start + static_cast<std::uint64_t>(i) * 1000000 / 60;
    change.picture = true;
    desktop_.events.push_back(change);
  }
  run(start + 4000 * kMs);
  const auto frames = sent(MessageType::VideoFrame);
  EXPECT_GE(frames.size(), 238u);
  EXPECT_LE(frames.size(), 244u);  // the changes, the first picture and the refreshes
}

// The encoder works on one picture while the loop captures and converts the next: the first
// picture's encoding waits (in real time) for the second picture's conversion, which comes only
// if the two overlap. Frames still go out in order, one per conversion.
TEST_F(CapturePipelineTest, TheNextPictureIsConvertedWhileTheEncoderWorks) {
  std::mutex lock;
  std::condition_variable converted;
  int conversions = 0;
  converter_.on_convert = [&] {
    std::lock_guard guard(lock);
    ++conversions;
    converted.notify_all();
  };
  bool overlapped = false;
  int inputs = 0;  // encoding thread only
  h264_->on_input = [&](std::int64_t) {
    if (++inputs != 1) return;
    std::unique_lock guard(lock);
    overlapped = converted.wait_for(guard, std::chrono::seconds(5),
                                    [&] { return conversions >= 2; });
  };
  ask(view(1920, 1080, 60), clock_.now);
  const std::uint64_t start = clock_.now;
  changes_every(5 * kMs, 20);
  run(start + 100 * kMs);
  EXPECT_TRUE(overlapped);
  const auto frames = sent(MessageType::VideoFrame);
  EXPECT_EQ(frames.size(), converter_.generations.size());
  EXPECT_TRUE(std::is_sorted(converter_.generations.begin(), converter_.generations.end()));
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GT(frame_time(frames[i]), frame_time(frames[i - 1])) << i;
  }
}

// A picture the encoder refused is counted and encoded again, told that everything changed
// (the encoder never saw the changes it held); when the loop ends while the encoder still works
// on a picture (20 ms of real time each), that picture goes out before the loop returns.
TEST_F(CapturePipelineTest, ARefusedPictureIsRetriedAndOneInTheEncoderAtTheEndGoesOut) {
  // The first picture is taken, the first refresh refused once.
  h264_->input_results = {{platform::TransformStatus::kOk, 0},
                          {platform::TransformStatus::kError, 0x80004005}};
  ask(view(1920, 1080, 60), clock_.now);
  const std::uint64_t start = clock_.now;
  run(start + 2000 * kMs);
  EXPECT_EQ(pipeline().encode_rejects(), 1u);
  // Retried at once or with the last refresh, whichever comes first.
  ASSERT_GE(h264_->changes.size(), 3u);
  EXPECT_EQ(h264_->changes[1], platform::DesktopRect{});  // the refresh: nothing changed
  EXPECT_FALSE(h264_->changes[2]);                        // the next one: not known
  const auto frames = sent(MessageType::VideoFrame);
  EXPECT_EQ(frames.size(), static_cast<std::size_t>(h264_->inputs_accepted));
  ASSERT_GE(frames.size(), 2u);
  EXPECT_GT(frame_time(frames.back()), start + 150 * kMs);

  h264_->on_input = [](std::int64_t) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  const int accepted_before = h264_->inputs_accepted;
  DesktopEvent change;
  change.at_us = clock_.now + 10 * kMs;
  change.picture = true;
  desktop_.events.push_back(change);
  run(change.at_us + 2 * kMs);
  EXPECT_EQ(h264_->inputs_accepted, accepted_before + 1);
  EXPECT_EQ(sent(MessageType::VideoFrame).size(), frames.size() + 1);
}

TEST_F(CapturePipelineTest, KeyFrameRequestOnAStillScreenEncodesTheCurrentPictureAsAKeyFrame) {
  ask(view(1280, 720), clock_.now);
  const std::uint64_t start = clock_.now;
  host_.keyframe_requests.push_back(start + 1000 * kMs);
  // The refreshes are encoded (on the encoder's thread, while fake time runs on) before the
  // request comes, or the request could make the last refresh the key frame.
  run(start + 900 * kMs);
  run(start + 2000 * kMs);
  const auto frames = sent(MessageType::VideoFrame);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[3].payload[0], 1);
  EXPECT_GE(frame_time(frames[3]), start + 1000 * kMs);
  EXPECT_LT(frame_time(frames[3]), start + 1020 * kMs);
  EXPECT_EQ(frames[1].payload[0], 0);
}

TEST_F(CapturePipelineTest, CongestionSkipsOncePerTurnAndSendsTheNewestPictureWhenItDrains) {
  ask(view(1280, 720), clock_.now);
  const std::uint64_t start = clock_.now;
  changes_every(4 * kMs, 200);
  const std::uint64_t jam_from = start + 100 * kMs;
  const std::uint64_t jam_to = start + 300 * kMs;
  host_.backlog = [&](std::uint64_t now) -> std::uint64_t {
    return now >= jam_from && now < jam_to ? host_.limit + 1 : 0;
  };
  // Count the turns that ran while congested (one acquire each).
  int acquires_before = 0;
  run(jam_from);
  acquires_before = desktop_.acquires;
  run(jam_to);
  const int jammed_turns = desktop_.acquires - acquires_before;
  const std::uint32_t skips = pipeline().congested_skips();
  EXPECT_GT(skips, 5u);
  EXPECT_LE(skips, static_cast<std::uint32_t>(jammed_turns));
  for (const SentMessage& m : sent(MessageType::VideoFrame)) {
    const std::uint64_t t = frame_time(m);
    EXPECT_TRUE(t < jam_from + 17 * kMs || t >= jam_to) << t - start;
  }

  const std::size_t frames_before = sent(MessageType::VideoFrame).size();
  const std::size_t conversions_before = converter_.generations.size();
  const std::uint8_t newest = desktop_.generation;
  run(jam_to + 50 * kMs);
  ASSERT_GT(sent(MessageType::VideoFrame).size(), frames_before);
  EXPECT_LT(frame_time(sent(MessageType::VideoFrame)[frames_before]), jam_to + 5 * kMs);
  // The first picture after the jam is at least as new as the newest one during it.
  ASSERT_GT(converter_.generations.size(), conversions_before);
  EXPECT_GE(converter_.generations[conversions_before], newest);
}

TEST_F(CapturePipelineTest, EqualConfigurationIsNotRebuiltAndADifferentOneIs) {
  ask(view(1280, 720), clock_.now);
  ask(view(1280, 720), clock_.now + 100 * kMs);
  ask(view(640, 360), clock_.now + 200 * kMs);
  run(clock_.now + 300 * kMs);
  const auto info = sent(MessageType::StreamInfo);
  ASSERT_EQ(info.size(), 2u);
  EXPECT_EQ(info[1].payload, stream_info_payload(false, {640, 360}, 1920, 1080));
  EXPECT_EQ(catalogue_->activations.size(), 2u);
  EXPECT_FALSE(host_.closed);
}

// A match request with a view of no size counts as no request: the host's own mode is put
// back instead of a switch to the smallest mode at the largest scaling.
TEST_F(CapturePipelineTest, AMatchRequestWithoutASizeKeepsTheHostsMode) {
  ClientConfig config = view(0, 0);
  config.match_resolution = true;
  ask(config, clock_.now);
  config = view(1280, 720);
  config.match_resolution = true;
  ask(config, clock_.now + 100 * kMs);
  run(clock_.now + 200 * kMs);
  EXPECT_EQ(display_.restores, 1);
  EXPECT_EQ(display_.applies, 1);  // only the second, with a size
  EXPECT_EQ(sent(MessageType::StreamInfo).size(), 2u);
}

TEST_F(CapturePipelineTest, FailedSetUpClosesTheConnectionWithoutStreamInfo) {
  struct Case {
    const char* what;
    std::function<void(PipelineRig&, ClientConfig&)> arrange;
  };
  const Case cases[] = {
      {"HEVC only, H.264 opened", [](PipelineRig&, ClientConfig& c) { c.codec_mask = 2; }},
      {"no codec at all", [](PipelineRig&, ClientConfig& c) { c.codec_mask = 0; }},
      {"no encoder opens", [](PipelineRig& t, ClientConfig&) { t.h264_->activate_fails = true; }},
      {"converter cannot be built",
       [](PipelineRig& t, ClientConfig&) { t.converter_.init_fails = true; }},
      {"duplication never opens",
       [](PipelineRig& t, ClientConfig&) { t.desktop_.failing_opens = -1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PipelineRig t;
    ClientConfig config = view(1280, 720);
    c.arrange(t, config);
    t.ask(config, t.clock_.now);
    const std::uint64_t start = t.clock_.now;
    t.run(start + 10000 * kMs);
    EXPECT_TRUE(t.host_.closed);
    EXPECT_TRUE(t.sent(MessageType::StreamInfo).empty());
    EXPECT_TRUE(t.sent(MessageType::VideoFrame).empty());
  }
}

TEST_F(CapturePipelineTest, DuplicationIsRetriedFor50AttemptsOrAbout5Seconds) {
  desktop_.failing_opens = 49;
  ask(view(1280, 720), clock_.now);
  run(clock_.now + 10000 * kMs);
  EXPECT_FALSE(host_.closed);
  EXPECT_EQ(sent(MessageType::StreamInfo).size(), 1u);
  EXPECT_EQ(desktop_.opens, 50);
}

TEST_F(CapturePipelineTest, DesktopSizeChangeRebuildsForTheNewSizeWithAKeyFrame) {
  ask(view(1920, 1080), clock_.now);
  const std::uint64_t start = clock_.now;
  DesktopEvent lost;
  lost.at_us = start + 1000 * kMs;
  lost.status = AcquireStatus::kAccessLost;
  lost.new_rect = platform::DesktopRect{0, 0, 1280, 1024};
  desktop_.events.push_back(lost);
  run(start + 1100 * kMs);
  const auto info = sent(MessageType::StreamInfo);
  ASSERT_EQ(info.size(), 2u);
  EXPECT_EQ(info[1].payload, stream_info_payload(false, {1280, 1024}, 1280, 1024));
  const auto frames = sent(MessageType::VideoFrame);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[3].payload[0], 1);
  EXPECT_GE(frame_time(frames[3]), lost.at_us);
  // Pointer positions follow the output: each reopened duplication names its rectangle.
  const auto& targets = host_.input_targets;
  ASSERT_GE(targets.size(), 2u);
  EXPECT_EQ(targets.front(), (platform::DesktopRect{0, 0, 1920, 1080}));
  EXPECT_EQ(targets.back(), (platform::DesktopRect{0, 0, 1280, 1024}));
}

TEST(CapturePipelineDesktop, OnlyTheAgentFollowsTheInputDesktopBeforeEveryDuplication) {
  // Opens that fail at first, a lost duplication (a desktop switch) and another acquire error:
  // each opening, first or again, must come after a desktop check in the agent.
  struct Case {
    RunMode mode;
    bool checks;
  };
  const Case cases[] = {{RunMode::Agent, true},
                        {RunMode::Tray, false},
                        {RunMode::Service, false},
                        {RunMode::Command, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    run_mode = c.mode;
    PipelineRig t;
    // The opens the fake had done when each check ran.
    std::vector<int> opens_at_check;
    t.follow_input_desktop_ = [&] { opens_at_check.push_back(t.desktop_.opens); };
    t.desktop_.failing_opens = 2;
    const std::uint64_t start = t.clock_.now;
    t.ask(view(1280, 720), start);
    for (const auto& [at_ms, status] :
         {std::pair{300, AcquireStatus::kAccessLost}, std::pair{600, AcquireStatus::kError}}) {
      DesktopEvent event;
      event.at_us = start + static_cast<std::uint64_t>(at_ms) * kMs;
      event.status = status;
      t.desktop_.events.push_back(event);
    }
    t.run(start + 1000 * kMs);

    EXPECT_FALSE(t.host_.closed);
    ASSERT_EQ(t.desktop_.opens, 5);  // two failures, the first, and one after each loss
    std::vector<int> expected;
    if (c.checks) {
      for (int open = 0; open < t.desktop_.opens; ++open) expected.push_back(open);
    }
    EXPECT_EQ(opens_at_check, expected);
  }
  run_mode = RunMode::Tray;
}

FakeShape arrow(std::uint8_t red) {
  FakeShape shape;
  shape.info.type = platform::PointerShapeType::kColor;
  shape.info.width = 2;
  shape.info.height = 2;
  shape.info.pitch = 8;
  shape.bytes = {0, 0, red, 255, 0, 0, red, 255, 0, 0, red, 255, 0, 0, red, 255};
  return shape;
}

TEST_F(CapturePipelineTest, PointerHideShowAndShapeChangesWhileHidden) {
  ask(view(1280, 720), clock_.now);
  const std::uint64_t start = clock_.now;
  auto pointer = [&](std::uint64_t at_ms, bool visible, std::optional<FakeShape> shape) {
    DesktopEvent e;
    e.at_us = start + at_ms * kMs;
    e.pointer = true;
    e.pointer_visible = visible;
    e.shape = std::move(shape);
    desktop_.events.push_back(e);
  };
  pointer(10, true, arrow(1));       // shown: sent
  pointer(20, false, std::nullopt);  // hidden: 8 zero bytes
  pointer(30, false, std::nullopt);  // still hidden: nothing
  pointer(40, false, arrow(2));      // changed while hidden: cached only
  pointer(50, true, std::nullopt);   // shown again: the cached shape
  FakeShape too_wide = arrow(3);
  too_wide.info.width = 300;
  pointer(60, true, too_wide);  // refused: nothing, cache kept
  run(start + 100 * kMs);

  const auto shapes = sent(MessageType::CursorShape);
  ASSERT_EQ(shapes.size(), 3u);
  EXPECT_EQ(shapes[0].payload[8], 1);
  EXPECT_EQ(shapes[1].payload, hidden_cursor_payload());
  EXPECT_EQ(shapes[2].payload[8], 2);
  EXPECT_EQ(pipeline().cursor_shape_cache(), shapes[2].payload);

  // A rebuild sends StreamInfo, then the cached shape again.
  ask(view(640, 360), clock_.now);
  run(clock_.now + 50 * kMs);
  ASSERT_GE(host_.sent.size(), 2u);
  const std::size_t n = host_.sent.size();
  std::size_t info_at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (host_.sent[i].type == code(MessageType::StreamInfo)) info_at = i;
  }
  ASSERT_LT(info_at + 1, n);
  EXPECT_EQ(host_.sent[info_at + 1].type, code(MessageType::CursorShape));
  EXPECT_EQ(host_.sent[info_at + 1].payload, shapes[2].payload);
}

// X11 hides the pointer by giving it a fully transparent image: that frame brings a new shape
// and the hidden flag together, and the client must see only the 8-byte hidden form.
TEST_F(CapturePipelineTest, HidingWithANewShapeSendsOnlyTheHiddenForm) {
  ask(view(1280, 720), clock_.now);
  const std::uint64_t start = clock_.now;
  auto pointer = [&](std::uint64_t at_ms, bool visible, FakeShape shape) {
    DesktopEvent e;
    e.at_us = start + at_ms * kMs;
    e.pointer = true;
    e.pointer_visible = visible;
    e.shape = std::move(shape);
    desktop_.events.push_back(e);
  };
  FakeShape transparent = arrow(0);
  for (std::size_t i = 3; i < transparent.bytes.size(); i += 4) transparent.bytes[i] = 0;
  pointer(10, true, arrow(1));
  pointer(20, false, transparent);
  pointer(30, true, arrow(2));
  run(start + 100 * kMs);

  const auto shapes = sent(MessageType::CursorShape);
  ASSERT_EQ(shapes.size(), 3u);
  EXPECT_EQ(shapes[0].payload[8], 1);
  EXPECT_EQ(shapes[1].payload, hidden_cursor_payload());
  EXPECT_EQ(shapes[2].payload[8], 2);
}

TEST_F(CapturePipelineTest, EncoderStatsExistOnlyOnceAnEncoderWasMade) {
  EXPECT_FALSE(pipeline().encoder_stats());
  ask(view(1280, 720), clock_.now);
  run(clock_.now + 1000 * kMs);
  const auto stats = pipeline().encoder_stats();
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->frames_in, 3);
  EXPECT_EQ(stats->frames_out, 3);
  EXPECT_EQ(stats->conversions, 3u);
  pipeline().destroy_encoder();
  EXPECT_FALSE(pipeline().encoder_stats());
}

// A lost graphics device (a driver update or reset) or an output that stays gone: the session
// sets up a new capture device, builds converter and encoder anew and streams on, where it
// used to keep reopening on the old device for ever.
TEST_F(CapturePipelineTest, LostOrStaleCaptureDeviceIsReplacedAndTheStreamGoesOn) {
  using Fate = DesktopEvent::DeviceFate;
  for (const Fate fate : {Fate::kLost, Fate::kStale}) {
    PipelineRig rig;
    rig.ask(view(1280, 720), rig.clock_.now);
    const std::uint64_t start = rig.clock_.now;
    DesktopEvent failure;
    failure.at_us = start + 300 * kMs;
    failure.status = AcquireStatus::kError;
    failure.device = fate;
    rig.desktop_.events.push_back(failure);
    rig.run(start + 6000 * kMs);

    EXPECT_EQ(rig.desktop_.devices_made, 2);
    EXPECT_EQ(rig.pipeline().capture_device_rebuilds(), 1u);
    // A lost device is replaced at the first failed reopen; a stale one after 2 s of them.
    const std::uint64_t replaced_by = fate == Fate::kLost ? 500 * kMs : 2500 * kMs;
    EXPECT_EQ(rig.converter_.inits, 2);
    EXPECT_EQ(rig.catalogue_->activations.size(), 2u);
    const auto info = rig.sent(MessageType::StreamInfo);
    ASSERT_EQ(info.size(), 2u);
    EXPECT_LT(info[1].at_us, start + replaced_by);
    // Pictures flow again after the second StreamInfo, starting with a key frame.
    const std::vector<SentMessage>& sent = rig.host_.sent;
    auto after = std::find_if(sent.begin(), sent.end(), [](const SentMessage& m) {
      return m.type == code(MessageType::StreamInfo);
    });
    after = std::find_if(after + 1, sent.end(), [](const SentMessage& m) {
      return m.type == code(MessageType::StreamInfo);
    });
    after = std::find_if(after, sent.end(), [](const SentMessage& m) {
      return m.type == code(MessageType::VideoFrame);
    });
    ASSERT_NE(after, sent.end());
    EXPECT_EQ(after->payload[0], 1);
    EXPECT_FALSE(rig.host_.closed);
  }
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// A desktop whose surface the image cannot hold (an HDR desktop) says so once, not on every
// frame, and nothing is streamed.
TEST_F(CapturePipelineTest, PictureThatCannotBeCopiedIsLoggedOnce) {
  ask(view(1280, 720), clock_.now);
  desktop_.copy_problem = platform::PlatformProblem{0, "the duplicated surface is not BGRA"};
  changes_every(20 * kMs, 20);
  ::testing::internal::CaptureStderr();
  run(clock_.now + 1000 * kMs);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(occurrences(log, "capture: picture not copied: the duplicated surface is not BGRA"),
            1u)
      << log;
  EXPECT_TRUE(sent(MessageType::VideoFrame).empty());
}

// Each distinct reason a duplication cannot be opened is logged once, with its meaning.
TEST_F(CapturePipelineTest, RefusedDuplicationIsLoggedOncePerDistinctCode) {
  ask(view(1280, 720), clock_.now);
  desktop_.failing_opens = 6;
  desktop_.open_problem = {0x80070005, "E_ACCESSDENIED: the secure desktop"};
  ::testing::internal::CaptureStderr();
  run(clock_.now + 1000 * kMs);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(occurrences(log, "0x80070005"), 1u) << log;
  EXPECT_NE(log.find("DuplicateOutput failed: 0x80070005 E_ACCESSDENIED: the secure desktop"),
            std::string::npos)
      << log;
  EXPECT_FALSE(sent(MessageType::VideoFrame).empty());
}

}  // namespace
}  // namespace tolvi
