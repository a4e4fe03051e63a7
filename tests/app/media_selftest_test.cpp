// The media self-test over fake capture, conversion and encoders: frames are paced as a
// session paces them, refusals are offered again, output is waited for, and failures print
// their codes.
#include "app/media_selftest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_capture.h"
#include "fakes/fake_encoder.h"
#include "video/encoder.h"

namespace tolvi {
namespace {

using fakes::FakeCatalogue;
using fakes::FakeTransformState;
using platform::TransformEvent;
using platform::VideoCodec;
using ::testing::AllOf;
using ::testing::HasSubstr;

// The clock of a hardware encoder that works at its own pace: every `ask_every` sleeps it asks
// for one frame, and every `output_every` sleeps it hands out everything it holds. Each sleep
// returns once the encoder's event thread has handled what was posted.
class EncoderPacedClock : public fakes::FakeClock {
 public:
  void sleep_ms(std::uint32_t ms) override {
    fakes::FakeClock::sleep_ms(ms);
    if (!encoder || encoder->count("begin") == 0 || encoder->count("interrupt") > 0) return;
    ++sleeps;
    if (sleeps % ask_every == 0) encoder->post_event(TransformEvent::kNeedInput);
    if (sleeps % output_every == 0) {
      std::size_t held = 0;
      {
        std::lock_guard guard(encoder->lock);
        held = encoder->outputs.size();
      }
      for (std::size_t i = 0; i < held; ++i) encoder->post_event(TransformEvent::kHaveOutput);
    }
    encoder->wait_events_taken();
  }
  std::shared_ptr<FakeTransformState> encoder;
  int ask_every = 1;
  int output_every = 1;
  int sleeps = 0;
};

struct Rig {
  EncoderPacedClock clock;
  fakes::FakeDesktopState desktop{clock};
  fakes::FakeConverterState converter;
  std::shared_ptr<FakeCatalogue> catalogue = std::make_shared<FakeCatalogue>();
  HardwareEncoderProbes probes;
  std::vector<std::string> lines;

  MediaSelftestPlatform platform() {
    MediaSelftestPlatform p;
    p.make_capture_device = [this] {
      return std::make_unique<fakes::FakeCaptureDevice>(desktop);
    };
    p.make_converter = [this] { return std::make_unique<fakes::FakeConverter>(converter); };
    p.make_encoder_catalogue = [this] { return catalogue; };
    p.clock = &clock;
    p.probes = &probes;
    return p;
  }
  int run() {
    const MediaSelftestPlatform p = platform();
    return run_media_selftest(p, [this](const std::string& line) { lines.push_back(line); });
  }
  std::string line(const std::string& start) const {
    for (const std::string& l : lines) {
      if (l.rfind(start, 0) == 0) return l;
    }
    return "(no line " + start + ")";
  }
};

// A hardware encoder that asks for a frame only every other 2 ms pause and holds its output
// back: the frames it refused are offered again, all of them are taken, and what it held
// when the last frame went in still comes out before the encoder is shut down.
TEST(MediaSelftest, AsynchronousEncoderGetsEveryFrameAndItsOutputIsWaitedFor) {
  Rig rig;
  rig.catalogue->capture_adapter = 7;
  rig.clock.encoder = rig.catalogue->add("GPU HEVC", VideoCodec::kHevc, true, 7);
  rig.clock.encoder->async = true;
  rig.clock.ask_every = 2;
  rig.clock.output_every = 25;
  const std::uint64_t start = rig.clock.now;

  EXPECT_EQ(rig.run(), 0);

  EXPECT_THAT(rig.line("encoder open"), AllOf(HasSubstr("GPU HEVC"), HasSubstr("async"),
                                              HasSubstr("on the capture adapter")));
  EXPECT_THAT(rig.line("paced frames"),
              AllOf(HasSubstr("ok: 60 offered"), HasSubstr("60 taken"), HasSubstr("0 dropped")));
  EXPECT_THAT(rig.line("paced frames"), ::testing::Not(HasSubstr(" 0 refusals")));
  EXPECT_THAT(rig.line("encoding"), HasSubstr("ok: 60 access units out of 60 frames taken"));
  EXPECT_EQ(rig.clock.encoder->inputs_accepted, 60);
  // Paced over about two seconds, not fed back to back.
  EXPECT_GE(rig.clock.now - start, 59 * 33333u);
  EXPECT_EQ(rig.line("media self-test"), "media self-test: passed");
}

// An encoder that never hands its output out: the test waits about a second for it, then says
// the encoding failed.
TEST(MediaSelftest, OutputThatNeverComesFailsAfterAboutASecond) {
  Rig rig;
  rig.clock.encoder = rig.catalogue->add("GPU H.264", VideoCodec::kH264, true);
  rig.clock.encoder->async = true;
  rig.clock.output_every = 1000000;

  EXPECT_EQ(rig.run(), 1);

  EXPECT_THAT(rig.line("encoder open"), HasSubstr("not on the capture adapter"));
  EXPECT_THAT(rig.line("encoding"),
              AllOf(HasSubstr("FAILED: 0 access units out of 60"), HasSubstr("waited 1.0")));
  EXPECT_EQ(rig.line("media self-test"), "media self-test: FAILED");
}

// A duplication that cannot be opened prints the platform's code and its meaning; the rest of
// the path is still tried, on a grey picture, with a synchronous software encoder.
TEST(MediaSelftest, RefusedDuplicationPrintsItsCodeAndTheRestIsStillTried) {
  class RefusingDevice : public fakes::FakeCaptureDevice {
   public:
    using FakeCaptureDevice::FakeCaptureDevice;
    std::unique_ptr<platform::OutputDuplication> open_duplication() override { return nullptr; }
    platform::PlatformProblem open_problem() const override {
      return {0x887A0004, "DXGI_ERROR_UNSUPPORTED (the adapter cannot duplicate)"};
    }
    std::vector<std::string> facts() const override { return {"adapter: Fake GPU"}; }
  };
  Rig rig;
  rig.catalogue->add("Software H.264", VideoCodec::kH264, false);
  MediaSelftestPlatform p = rig.platform();
  p.make_capture_device = [&rig] { return std::make_unique<RefusingDevice>(rig.desktop); };

  EXPECT_EQ(run_media_selftest(p, [&rig](const std::string& l) { rig.lines.push_back(l); }), 1);

  EXPECT_EQ(rig.line("duplication"),
            "duplication    FAILED: 0x887a0004 DXGI_ERROR_UNSUPPORTED (the adapter cannot "
            "duplicate)");
  EXPECT_THAT(rig.line("                 adapter"), HasSubstr("Fake GPU"));
  EXPECT_THAT(rig.line("converter"), HasSubstr("ok: 1280x720 -> NV12 1280x720"));
  EXPECT_THAT(rig.line("encoder open"), AllOf(HasSubstr("Software H.264"), HasSubstr("sync")));
  EXPECT_THAT(rig.line("encoding"), HasSubstr("ok: 60 access units out of 60 frames taken"));
}

}  // namespace
}  // namespace tolvi
