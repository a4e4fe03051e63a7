#include "video/encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_encoder.h"

namespace tolvi {
namespace {

using fakes::FakeCatalogue;
using fakes::FakeOutput;
using fakes::FakeTransformState;
using platform::CodecProfile;
using platform::TransformEvent;
using platform::TransformStatus;
using platform::VideoCodec;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

struct SentFrame {
  std::vector<std::uint8_t> data;
  bool keyframe;
  std::uint64_t time_us;
};

// An encoder over a fake catalogue, with everything its sink receives.
struct Harness {
  std::shared_ptr<FakeCatalogue> catalogue = std::make_shared<FakeCatalogue>();
  std::vector<SentFrame> sent;
  std::mutex sent_lock;
  HardwareEncoderProbes probes;
  Encoder encoder{probes};
  platform::Nv12Image frame;

  Harness() { frame.resize(64, 36); }

  FrameSink sink() {
    return [this](const std::uint8_t* data, std::uint64_t size, bool key, std::uint64_t time) {
      std::lock_guard guard(sent_lock);
      sent.push_back({std::vector<std::uint8_t>(data, data + size), key, time});
    };
  }
  bool open(bool prefer_hevc = false, std::int32_t fps = 60, std::int32_t kbps = 6842) {
    return encoder.open(catalogue, 1920, 1080, fps, kbps, prefer_hevc, sink());
  }
  std::size_t sent_count() {
    std::lock_guard guard(sent_lock);
    return sent.size();
  }
};

// Runs body with the standard error stream captured and returns what the log wrote there.
template <typename F>
std::string logged(F&& body) {
  ::testing::internal::CaptureStderr();
  body();
  return ::testing::internal::GetCapturedStderr();
}

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// --- discovery -------------------------------------------------------------------------------

TEST(EncoderDiscovery, HardwareHevcFirstWhenPreferred) {
  Harness h;
  h.catalogue->add("sw264", VideoCodec::kH264, false);
  h.catalogue->add("hw264", VideoCodec::kH264, true);
  h.catalogue->add("hw265", VideoCodec::kHevc, true);
  ASSERT_TRUE(h.open(/*prefer_hevc=*/true));
  EXPECT_TRUE(h.encoder.is_hevc());
  EXPECT_TRUE(h.encoder.is_hardware());
  EXPECT_EQ(h.encoder.name(), "hw265");
  EXPECT_THAT(h.catalogue->activations, ElementsAre("hw265"));
}

TEST(EncoderDiscovery, WithoutHevcPreferenceHevcIsNeverActivated) {
  Harness h;
  h.catalogue->add("hw265", VideoCodec::kHevc, true);
  h.catalogue->add("hw264", VideoCodec::kH264, true);
  ASSERT_TRUE(h.open(/*prefer_hevc=*/false));
  EXPECT_FALSE(h.encoder.is_hevc());
  EXPECT_THAT(h.catalogue->activations, ElementsAre("hw264"));
  EXPECT_THAT(h.catalogue->enumerations, ElementsAre("hw h264"));
}

TEST(EncoderDiscovery, CaptureAdapterFirstThenTheOthersInTheirOrder) {
  Harness h;
  h.catalogue->capture_adapter = 42;
  h.catalogue->add("other-a", VideoCodec::kH264, true, 7);
  h.catalogue->add("unknown", VideoCodec::kH264, true);
  auto capture = h.catalogue->add("capture", VideoCodec::kH264, true, 42);
  capture->refuse_input = true;  // rejected: falls through to the others, in their order
  h.catalogue->entries[0].state->activate_fails = true;
  std::string log = logged([&] { ASSERT_TRUE(h.open()); });
  EXPECT_THAT(h.catalogue->activations, ElementsAre("capture", "other-a", "unknown"));
  EXPECT_EQ(h.encoder.name(), "unknown");
  EXPECT_THAT(log, HasSubstr("encoder capture rejected H.264 1920x1080"));
  // The rejected candidate was released again.
  EXPECT_EQ(capture->count("destroyed"), 1);
}

TEST(EncoderDiscovery, SoftwareH264IsTheLastResort) {
  Harness h;
  h.catalogue->add("hw265", VideoCodec::kHevc, true)->refuse_output = true;
  h.catalogue->add("", VideoCodec::kH264, false);
  h.catalogue->failing_enumerations = {"hw h264"};
  std::string log = logged([&] { ASSERT_TRUE(h.open(/*prefer_hevc=*/true)); });
  EXPECT_FALSE(h.encoder.is_hevc());
  EXPECT_FALSE(h.encoder.is_hardware());
  EXPECT_EQ(h.encoder.name(), "software");  // no name of its own
  EXPECT_THAT(h.catalogue->enumerations, ElementsAre("hw hevc", "hw h264", "sw h264"));
  EXPECT_THAT(log, HasSubstr("encoder: software (H.264, sync, CPU upload)"));
}

// A hardware encoder whose device is absent (no CUDA, no DRM node) fails the same way at every
// reconfiguration: it is probed once, its rejection logged once, and it is never tried again.
TEST(EncoderDiscovery, HardwareIsProbedOnceAcrossReconfigurations) {
  Harness h;
  auto absent = h.catalogue->add("hw265", VideoCodec::kHevc, true);
  absent->probe_fails = true;
  absent->refuse_output = true;  // what opening it would do
  h.catalogue->add("hw264", VideoCodec::kH264, true);
  std::string log = logged([&] {
    ASSERT_TRUE(h.open(/*prefer_hevc=*/true));
    Encoder rebuilt(h.probes);  // the next reconfiguration's encoder
    ASSERT_TRUE(rebuilt.open(h.catalogue, 1280, 720, 60, 4000, true, h.sink()));
  });
  EXPECT_THAT(h.catalogue->probes, ElementsAre("hw265", "hw264"));
  EXPECT_THAT(h.catalogue->activations, ElementsAre("hw264", "hw264"));
  EXPECT_EQ(occurrences(log, "hw265"), 1);
  EXPECT_THAT(log, HasSubstr("encoder hw265 (HEVC) not usable on this machine"));
}

TEST(EncoderDiscovery, NothingUsableFailsAndRefusesFrames) {
  Harness h;
  h.catalogue->add("hw264", VideoCodec::kH264, true)->upload_fails = true;
  h.catalogue->add("sw265", VideoCodec::kHevc, false);  // software HEVC is never tried
  std::string log = logged([&] { EXPECT_FALSE(h.open(/*prefer_hevc=*/true)); });
  EXPECT_THAT(h.catalogue->activations, ElementsAre("hw264"));
  EXPECT_THAT(log, Not(HasSubstr("rejected")));  // a failed upload set-up is not logged
  EXPECT_FALSE(h.encoder.is_open());
  EXPECT_FALSE(h.encoder.encode_frame(h.frame, 1));
}

// --- configuration ---------------------------------------------------------------------------

TEST(EncoderConfigure, SettingsFormatsAndOrder) {
  Harness h;
  auto s = h.catalogue->add("hw264", VideoCodec::kH264, true);
  s->sequence_header = {0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2};
  ASSERT_TRUE(h.open(false, 60, 6842));
  EXPECT_THAT(s->calls,
              ElementsAre("activate", "low_latency", "set_value 0 4", "set_value 1 1",
                          "set_value 2 6842000", "set_value 3 10263000", "set_value 4 216000",
                          "set_value 5 0", "set_value 6 33", "output 100", "input 1920x1080@60",
                          "set_value 2 6842000", "prepare_upload", "begin"));
  ASSERT_EQ(s->output_formats.size(), 1u);
  EXPECT_EQ(s->output_formats[0].bit_rate, 6842000u);
  EXPECT_EQ(s->output_formats[0].fps, 60);
  EXPECT_EQ(h.encoder.sequence_header(), s->sequence_header);
}

TEST(EncoderConfigure, H264FallsBackToMainProfileHevcDoesNot) {
  Harness h;
  auto hevc = h.catalogue->add("hw265", VideoCodec::kHevc, true);
  hevc->refuse_output = true;
  auto h264 = h.catalogue->add("hw264", VideoCodec::kH264, true);
  h264->refuse_high_profile = true;
  ASSERT_TRUE(h.open(true));
  EXPECT_EQ(hevc->count("output"), 1);
  EXPECT_EQ(hevc->output_formats[0].profile, CodecProfile::kHevcMain);
  ASSERT_EQ(h264->output_formats.size(), 2u);
  EXPECT_EQ(h264->output_formats[1].profile, CodecProfile::kH264Main);
  EXPECT_EQ(h.encoder.name(), "hw264");
}

TEST(EncoderConfigure, FailedSettingsAreLoggedAndIgnored) {
  Harness h;
  auto s = h.catalogue->add("hw264", VideoCodec::kH264, true);
  s->setting_errors[platform::CodecSetting::kMaxBitRate] = 0x80070057;
  std::string log = logged([&] { ASSERT_TRUE(h.open(false, 60, 6842)); });
  EXPECT_THAT(log, HasSubstr("encoder: SetValue 9651eae4-39b9 = 10263000 failed 0x80070057"));
}

TEST(EncoderConfigure, WithoutCodecApiEverySettingSaysSoAndItStillOpens) {
  Harness h;
  h.catalogue->add("hw264", VideoCodec::kH264, true)->codec_api = false;
  std::string log = logged([&] { ASSERT_TRUE(h.open()); });
  EXPECT_EQ(occurrences(log, "encoder: no ICodecAPI"), 8);
}

TEST(EncoderConfigure, FrameRateBelowTwoCountsAsOne) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  ASSERT_TRUE(h.open(false, 0, 2000));
  EXPECT_EQ(s->count("set_value 4 3600"), 1);  // GOP: one hour at 1 fps
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 0));
  EXPECT_EQ(s->count("process_input 0 10000000"), 1);
}

// --- encoding --------------------------------------------------------------------------------

TEST(EncoderEncode, FrameTimeTravelsIn100NsUnits) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  ASSERT_TRUE(h.open(false, 60));
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 1234567));
  EXPECT_EQ(s->count("process_input 12345670 166666"), 1);
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].time_us, 1234567u);
  EXPECT_TRUE(h.sent[0].keyframe);  // the first frame after open is a key frame
  EXPECT_EQ(h.encoder.frames_in(), 1u);
  EXPECT_EQ(h.encoder.frames_out(), 1u);
  EXPECT_EQ(h.encoder.need_more_input(), 1u);  // the drain ended with need-more-input
}

TEST(EncoderEncode, KeyFrameRequestReachesTheEncoderOnceWithTheNextFrame) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  ASSERT_TRUE(h.open());
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 1));
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 2));
  h.encoder.request_keyframe();
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 3));
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 4));
  EXPECT_EQ(s->count("force_keyframe"), 2);  // open's and the request's
  ASSERT_EQ(h.sent.size(), 4u);
  EXPECT_EQ((std::vector<bool>{h.sent[0].keyframe, h.sent[1].keyframe, h.sent[2].keyframe,
                               h.sent[3].keyframe}),
            (std::vector<bool>{true, false, true, false}));
}

TEST(EncoderEncode, RefusedKeyFrameSwitchesToRebuilding) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  ASSERT_TRUE(h.open());
  s->force_keyframe_fails = true;
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 1));  // refused: this frame goes out as is
  EXPECT_EQ(h.catalogue->activations.size(), 1u);
  h.encoder.request_keyframe();
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 2));  // rebuilt
  EXPECT_EQ(h.catalogue->activations.size(), 2u);
  EXPECT_EQ(s->count("eos_flush"), 1);
  EXPECT_EQ(s->count("force_keyframe"), 1);  // the rebuilt encoder is not asked again
  h.encoder.request_keyframe();
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 3));  // and every later key frame rebuilds
  EXPECT_EQ(h.catalogue->activations.size(), 3u);
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 4));
  EXPECT_EQ(h.catalogue->activations.size(), 3u);
  // The sink survives the rebuilds.
  EXPECT_EQ(h.sent.size(), 4u);
}

TEST(EncoderEncode, FailedRebuildLeavesAnEncoderThatRefusesFrames) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  s->force_keyframe_fails = true;
  ASSERT_TRUE(h.open());
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 1));
  s->activate_fails = true;
  h.encoder.request_keyframe();
  std::string log = logged([&] { EXPECT_FALSE(h.encoder.encode_frame(h.frame, 2)); });
  EXPECT_THAT(log, HasSubstr("encoder: re-init for keyframe failed"));
  EXPECT_FALSE(h.encoder.encode_frame(h.frame, 3));
}

TEST(EncoderEncode, WithoutCodecApiNoKeyFrameIsForced) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  s->codec_api = false;
  ASSERT_TRUE(h.open());
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 1));
  EXPECT_EQ(s->count("force_keyframe"), 0);
  EXPECT_EQ(h.catalogue->activations.size(), 1u);
}

TEST(EncoderEncode, NotAcceptingIsDrainedAndRetriedOnce) {
  struct Case {
    TransformStatus second;
    bool accepted;
  };
  for (const Case c : {Case{TransformStatus::kOk, true}, Case{TransformStatus::kError, false}}) {
    Harness h;
    auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
    ASSERT_TRUE(h.open());
    s->echo = false;
    s->outputs.push_back({TransformStatus::kOk, {0, 0, 1, 0x65}, true, 10});
    s->input_results = {{TransformStatus::kNotAccepting, 0xC00D36B5}, {c.second, 0x80004005}};
    std::string log = logged([&] { EXPECT_EQ(h.encoder.encode_frame(h.frame, 1), c.accepted); });
    EXPECT_THAT(log, HasSubstr("encoder: ProcessInput failed 0xc00d36b5"));
    EXPECT_EQ(s->count("process_input"), 2);
    EXPECT_EQ(h.encoder.frames_in(), 0u);  // only a first feed counts
    EXPECT_EQ(h.sent.size(), 1u);          // the pending output was drained before the retry
  }
}

TEST(EncoderEncode, OtherRefusalDrainsAndRefuses) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  ASSERT_TRUE(h.open());
  s->input_results = {{TransformStatus::kError, 0x80004005}};
  EXPECT_FALSE(h.encoder.encode_frame(h.frame, 1));
  EXPECT_EQ(s->count("process_input"), 1);
  EXPECT_EQ(s->count("process_output"), 1);
}

TEST(EncoderEncode, BufferFailureIsLoggedByPath) {
  for (bool zero_copy : {false, true}) {
    Harness h;
    auto s = h.catalogue->add("hw", VideoCodec::kH264, true);
    s->zero_copy = zero_copy;
    ASSERT_TRUE(h.open());
    EXPECT_EQ(h.encoder.zero_copy(), zero_copy);
    EXPECT_EQ(s->count("prepare_upload"), zero_copy ? 0 : 1);
    s->input_results = {{TransformStatus::kBufferFailed, 0x887A0005}};
    std::string log = logged([&] { EXPECT_FALSE(h.encoder.encode_frame(h.frame, 1)); });
    if (zero_copy) {
      EXPECT_THAT(log, HasSubstr("encoder: surface buffer failed"));
    } else {
      // Process-wide limit: logged unless five were logged before in this process.
      EXPECT_THAT(log, Not(HasSubstr("ProcessInput")));
    }
  }
}

TEST(EncoderEncode, DrainTakesAtMostSixteenOutputs) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  ASSERT_TRUE(h.open());
  s->echo = false;
  for (int i = 0; i < 20; ++i) s->outputs.push_back({TransformStatus::kOk, {0x41}, false, i});
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 1));
  EXPECT_EQ(h.sent.size(), 16u);
  EXPECT_EQ(h.encoder.need_more_input(), 0u);
}

TEST(EncoderEncode, StreamChangeTakesTheNewTypeAndEndsTheDrain) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  ASSERT_TRUE(h.open());
  s->echo = false;
  s->outputs = {{TransformStatus::kStreamChange, {}, false, {}},
                {TransformStatus::kOk, {0x41}, false, 5}};
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 1));
  EXPECT_EQ(s->count("accept_output_change"), 1);
  EXPECT_EQ(h.sent.size(), 0u);
  h.encoder.drain_output();
  EXPECT_EQ(h.sent.size(), 1u);
}

TEST(EncoderEncode, ParameterSetsCompleteKeyFramesThatLackThem) {
  const std::vector<std::uint8_t> h264_header = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE};
  const std::vector<std::uint8_t> hevc_header = {0, 0, 0, 1, 0x40, 1, 0, 0, 0, 1, 0x42, 1};
  struct Case {
    const char* what;
    bool hevc;
    bool header;
    std::vector<std::uint8_t> data;
    bool key;
    bool readable;
    bool prepended;
  };
  const Case cases[] = {
      {"key frame with SPS",
       false,
       true,
       {0, 0, 0, 1, 0x67, 9, 0, 0, 1, 0x65, 1},
       true,
       true,
       false},
      {"key frame without SPS", false, true, {0, 0, 0, 1, 0x65, 1}, true, true, true},
      {"non-key frame", false, true, {0, 0, 0, 1, 0x41, 1}, false, true, false},
      {"no parameter sets known", false, false, {0, 0, 0, 1, 0x65, 1}, true, true, false},
      {"HEVC key frame with SPS",
       true,
       true,
       {0, 0, 1, 0x42, 1, 0, 0, 1, 0x26, 1},
       true,
       true,
       false},
      {"HEVC key frame with VPS only",
       true,
       true,
       {0, 0, 1, 0x40, 1, 0, 0, 1, 0x26, 1},
       true,
       true,
       true},
      {"unreadable output", false, true, {0, 0, 0, 1, 0x65, 1}, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    auto s = h.catalogue->add("hw", c.hevc ? VideoCodec::kHevc : VideoCodec::kH264, true);
    if (c.header) s->sequence_header = c.hevc ? hevc_header : h264_header;
    ASSERT_TRUE(h.open(c.hevc));
    s->echo = false;
    s->outputs.push_back({TransformStatus::kOk, c.data, c.key, 70, c.readable});
    ASSERT_TRUE(h.encoder.encode_frame(h.frame, 1));
    EXPECT_EQ(h.encoder.frames_out(), 1u);
    if (!c.readable) {
      EXPECT_TRUE(h.sent.empty());
      continue;
    }
    ASSERT_EQ(h.sent.size(), 1u);
    std::vector<std::uint8_t> expected = c.data;
    if (c.prepended) {
      expected.insert(expected.begin(), s->sequence_header.begin(), s->sequence_header.end());
    }
    EXPECT_EQ(h.sent[0].data, expected);
    EXPECT_EQ(h.sent[0].keyframe, c.key);
    EXPECT_EQ(h.sent[0].time_us, 7u);
  }
}

TEST(ContainsSps, ScansStartCodes) {
  struct Case {
    std::vector<std::uint8_t> data;
    bool hevc;
    bool expected;
  };
  const Case cases[] = {
      {{0, 0, 1}, false, false},          // shorter than 4 bytes
      {{0, 0, 1, 0x67}, false, true},     // three-byte start code
      {{0, 0, 0, 1, 0x27}, false, true},  // nal_ref_idc bits do not matter
      {{0, 0, 1, 0x68, 0, 0, 1, 0x67}, false, true},
      {{0, 0, 1, 0x65, 0x67, 0x67}, false, false},  // 0x67 not after a start code
      {{0, 0, 1, 0x42, 1}, true, true},
      {{0, 0, 1, 0x40, 1, 0, 0, 1, 0x44, 1}, true, false},  // VPS, PPS
      {{0, 0, 1, 0x42}, false, false},                      // HEVC SPS header is not an H.264 SPS
  };
  for (const Case& c : cases) {
    EXPECT_EQ(contains_sps(c.data, c.hevc), c.expected)
        << ::testing::PrintToString(c.data) << (c.hevc ? " hevc" : " h264");
  }
}

TEST(EncoderEncode, ProcessOutputFailuresAreLoggedOnlyFiveTimesPerProcess) {
  Harness h;
  auto s = h.catalogue->add("sw", VideoCodec::kH264, false);
  ASSERT_TRUE(h.open());
  s->echo = false;
  int logged_lines = 0;
  for (int i = 0; i < 10; ++i) {
    s->outputs.push_back({TransformStatus::kError, {}, false, {}, true, 0x80004005});
    std::string log = logged([&] { h.encoder.drain_output(); });
    const int n = occurrences(log, "encoder: ProcessOutput failed 0x80004005");
    logged_lines += n;
    if (i >= 5) {
      EXPECT_EQ(n, 0) << "failure " << i + 1;
    }
  }
  EXPECT_LE(logged_lines, 5);
  // Need-more-input is an answer, not a failure.
  std::string log = logged([&] { h.encoder.drain_output(); });
  EXPECT_THAT(log, Not(HasSubstr("ProcessOutput")));
}

// --- asynchronous encoders -------------------------------------------------------------------

TEST(EncoderAsync, InputOnlyWhenAskedAndOutputFromTheEventThread) {
  Harness h;
  auto s = h.catalogue->add("hw-async", VideoCodec::kH264, true);
  s->async = true;
  s->echo = false;
  std::string log = logged([&] { ASSERT_TRUE(h.open()); });
  EXPECT_THAT(log, HasSubstr("encoder: hw-async (H.264, async, CPU upload)"));

  // No input request yet: refused without a log line.
  log = logged([&] { EXPECT_FALSE(h.encoder.encode_frame(h.frame, 1)); });
  EXPECT_THAT(log, Not(HasSubstr("encoder")));
  EXPECT_EQ(s->count("process_input"), 0);

  s->post_event(TransformEvent::kNeedInput);
  s->wait_events_taken();
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 2));
  EXPECT_FALSE(h.encoder.encode_frame(h.frame, 3));  // the one token is spent
  EXPECT_EQ(s->count("process_output"), 0);          // no synchronous drain

  // A refused input gives its token back.
  s->post_event(TransformEvent::kNeedInput);
  s->wait_events_taken();
  s->input_results = {{TransformStatus::kError, 0x80004005}, {TransformStatus::kBufferFailed, 1}};
  EXPECT_FALSE(h.encoder.encode_frame(h.frame, 4));
  EXPECT_FALSE(h.encoder.encode_frame(h.frame, 5));
  EXPECT_TRUE(h.encoder.encode_frame(h.frame, 6));

  {
    std::lock_guard guard(s->lock);
    s->outputs.push_back({TransformStatus::kOk, {0, 0, 1, 0x65}, true, 60});
  }
  s->post_event(TransformEvent::kOther);
  s->post_event(TransformEvent::kHaveOutput);
  s->wait_events_taken();
  ASSERT_EQ(h.sent_count(), 1u);
  EXPECT_EQ(h.sent[0].time_us, 6u);
  EXPECT_EQ(h.encoder.frames_in(), 2u);

  h.encoder.shutdown();
  EXPECT_EQ(s->count("interrupt"), 1);
  EXPECT_FALSE(h.encoder.encode_frame(h.frame, 7));
}

TEST(EncoderAsync, ManyInputRequestsAreCappedAndKeyFramesUseTheCodecApi) {
  Harness h;
  auto s = h.catalogue->add("hw-async", VideoCodec::kH264, true);
  s->async = true;
  s->force_keyframe_fails = true;
  ASSERT_TRUE(h.open());
  for (int i = 0; i < 1005; ++i) s->post_event(TransformEvent::kNeedInput);
  s->wait_events_taken();
  int accepted = 0;
  while (h.encoder.encode_frame(h.frame, 1)) ++accepted;
  EXPECT_EQ(accepted, 1000);
  // An asynchronous encoder is never rebuilt for a key frame; the codec API is asked again.
  s->post_event(TransformEvent::kNeedInput);
  s->wait_events_taken();
  h.encoder.request_keyframe();
  ASSERT_TRUE(h.encoder.encode_frame(h.frame, 2));
  EXPECT_EQ(h.catalogue->activations.size(), 1u);
  EXPECT_EQ(s->count("force_keyframe"), 2);
}

TEST(EncoderShutdown, StopsInOrderAndOnlyOnce) {
  for (bool async : {false, true}) {
    Harness h;
    auto s = h.catalogue->add("e", VideoCodec::kH264, true);
    s->async = async;
    ASSERT_TRUE(h.open());
    h.encoder.shutdown();
    h.encoder.shutdown();
    std::vector<std::string> tail(s->calls.end() - (async ? 4 : 3), s->calls.end());
    if (async) {
      EXPECT_THAT(tail, ElementsAre("eos_flush", "interrupt", "end_streaming", "destroyed"));
    } else {
      EXPECT_THAT(tail, ElementsAre("eos_flush", "end_streaming", "destroyed"));
    }
    EXPECT_FALSE(h.encoder.is_open());
  }
}

TEST(EncoderShutdown, DestructionShutsDown) {
  std::shared_ptr<FakeTransformState> s;
  {
    Harness h;
    s = h.catalogue->add("e", VideoCodec::kH264, true);
    s->async = true;
    ASSERT_TRUE(h.open());
  }
  EXPECT_EQ(s->count("end_streaming"), 1);
  EXPECT_EQ(s->count("destroyed"), 1);
}

}  // namespace
}  // namespace tolvi
