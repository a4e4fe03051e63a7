#include "app/media_selftest.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "platform/graphics_report.h"
#include "platform/process.h"
#include "video/encoder.h"

namespace tolvi {

namespace {

constexpr std::uint32_t kFirstFrameWaitMs = 500;
constexpr int kFrameAttempts = 4;  // a still desktop may time out once or twice
constexpr std::int32_t kTestFps = 30;
constexpr std::int32_t kTestKbps = 4000;
// About two seconds of frames, one every 33 ms, as the capture loop paces a 30 fps stream.
constexpr int kPacedFrames = 60;
constexpr std::uint64_t kFrameIntervalUs = 33333;
// A refused frame is offered again after this long, until the next frame is due.
constexpr std::uint32_t kRetryPauseMs = 2;
// After the last frame, output still inside the encoder is waited for this long.
constexpr std::uint64_t kOutputWaitUs = 1000000;
constexpr std::uint32_t kOutputPollMs = 10;
constexpr std::int32_t kMaxTestWidth = 1920;
constexpr std::int32_t kMaxTestHeight = 1080;

// The stream size the converter and encoder are tried with: the desktop, halved until it fits
// 1920 x 1080, rounded down to even numbers.
void stream_size(std::int32_t width, std::int32_t height, std::int32_t& out_w,
                 std::int32_t& out_h) {
  while (width > kMaxTestWidth || height > kMaxTestHeight) {
    width /= 2;
    height /= 2;
  }
  out_w = width & ~1;
  out_h = height & ~1;
}

const char* codec_name(platform::VideoCodec codec) {
  return codec == platform::VideoCodec::kHevc ? "HEVC" : "H.264";
}

std::string size_text(std::int32_t w, std::int32_t h) {
  return std::to_string(w) + "x" + std::to_string(h);
}

std::string code_text(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08" PRIx32, code);
  return text;
}

std::string problem_text(const platform::PlatformProblem& problem) {
  if (problem.code == 0) return problem.meaning;
  return code_text(problem.code) + (problem.meaning.empty() ? "" : " " + problem.meaning);
}

std::string ms_text(std::uint64_t total_us, int count) {
  if (count == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f ms", static_cast<double>(total_us) / 1000.0 / count);
  return text;
}

class Selftest {
 public:
  Selftest(const MediaSelftestPlatform& platform,
           const std::function<void(const std::string&)>& print)
      : platform_(platform),
        print_(print),
        clock_(platform.clock ? *platform.clock : system_clock()) {}

  int run();

 private:
  void step(const char* name, bool ok, const std::string& detail) {
    char head[32];
    std::snprintf(head, sizeof(head), "%-14s ", name);
    print_(std::string(head) + (ok ? "ok" : "FAILED") + (detail.empty() ? "" : ": ") + detail);
    all_ok_ = all_ok_ && ok;
  }
  void detail(const std::string& text) { print_("                 " + text); }

  void capture_first_frame();
  void list_encoders(platform::VideoCodec codec, bool hardware);
  void feed_paced_frames();
  void sleep_until(std::uint64_t when) {
    const std::uint64_t now = clock_.now_us();
    if (now < when) clock_.sleep_ms(static_cast<std::uint32_t>((when - now + 999) / 1000));
  }

  const MediaSelftestPlatform& platform_;
  const std::function<void(const std::string&)>& print_;
  Clock& clock_;
  bool all_ok_ = true;

  std::unique_ptr<platform::CaptureDevice> capture_;
  std::unique_ptr<platform::OutputDuplication> duplication_;
  platform::DesktopImage image_;
  bool have_frame_ = false;
  std::unique_ptr<platform::VideoConverter> converter_;
  bool converter_ok_ = false;
  platform::Nv12Image nv12_;
  std::shared_ptr<platform::EncoderCatalogue> catalogue_;
  std::vector<platform::EncoderCandidate> candidates_;
  std::unique_ptr<Encoder> encoder_;
  std::atomic<int> units_{0};
  std::atomic<int> keyframes_{0};
};

void Selftest::capture_first_frame() {
  if (platform_.make_capture_device) capture_ = platform_.make_capture_device();
  step("capture", capture_ != nullptr, capture_ ? capture_->output_name() : "no primary output");
  if (!capture_) return;
  for (const std::string& fact : capture_->facts()) detail(fact);
  duplication_ = capture_->open_duplication();
  if (!duplication_) {
    const platform::PlatformProblem problem = capture_->open_problem();
    step("duplication", false,
         problem.code == 0 && problem.meaning.empty() ? "cannot duplicate the output"
                                                      : problem_text(problem));
    return;
  }
  const platform::DesktopRect rect = duplication_->desktop_rect();
  step("duplication", true,
       size_text(rect.width(), rect.height()) + " at (" + std::to_string(rect.left) + ", " +
           std::to_string(rect.top) + ")");
  std::string why = "no picture arrived";
  for (int i = 0; i < kFrameAttempts && !have_frame_; ++i) {
    const platform::AcquireResult acquired = duplication_->acquire_next_frame(kFirstFrameWaitMs);
    if (acquired.status == platform::AcquireStatus::kTimeout) continue;
    if (acquired.status != platform::AcquireStatus::kFrame) {
      why = "AcquireNextFrame " + code_text(acquired.error_code);
      break;
    }
    if (acquired.info.present) {
      have_frame_ = duplication_->copy_frame_to(image_);
      if (!have_frame_) why = problem_text(duplication_->copy_problem());
    }
    duplication_->release_frame();
  }
  step("frame", have_frame_, have_frame_ ? size_text(image_.width, image_.height) : why);
  for (const std::string& fact : duplication_->facts()) detail(fact);
  if (!have_frame_) duplication_.reset();
}

void Selftest::list_encoders(platform::VideoCodec codec, bool hardware) {
  std::vector<platform::EncoderCandidate> found;
  const bool enumerated = catalogue_->enumerate(codec, hardware, found);
  const std::string kind = std::string(hardware ? "hardware " : "software ") + codec_name(codec);
  print_(std::string("encoders       ") + kind + ": " +
         (enumerated ? std::to_string(found.size()) + " found" : "enumeration FAILED"));
  const std::optional<std::uint64_t> capture_adapter = catalogue_->capture_adapter_id();
  for (const platform::EncoderCandidate& candidate : found) {
    const bool on_capture_adapter =
        capture_adapter && candidate.adapter_id && *candidate.adapter_id == *capture_adapter;
    detail((candidate.name.empty() ? "(unnamed)" : candidate.name) +
           (candidate.async ? ", async" : "") +
           (on_capture_adapter ? ", on the capture adapter" : ""));
    candidates_.push_back(candidate);
  }
}

void Selftest::feed_paced_frames() {
  int taken = 0;
  int refusals = 0;
  int dropped = 0;
  int copies = 0;
  int conversions = 0;
  std::uint64_t capture_us = 0;
  std::uint64_t convert_us = 0;
  std::uint64_t encode_us = 0;
  std::optional<platform::AcquireResult> capture_failure;
  const std::uint64_t start = clock_.now_us();
  for (int i = 0; i < kPacedFrames; ++i) {
    const std::uint64_t due = start + static_cast<std::uint64_t>(i) * kFrameIntervalUs;
    sleep_until(due);

    // A new picture when the desktop brought one; a still desktop keeps the last.
    if (duplication_) {
      const std::uint64_t t0 = clock_.now_us();
      const platform::AcquireResult acquired = duplication_->acquire_next_frame(0);
      if (acquired.status == platform::AcquireStatus::kFrame) {
        if (acquired.info.present && duplication_->copy_frame_to(image_)) ++copies;
        duplication_->release_frame();
        capture_us += clock_.now_us() - t0;
      } else if (acquired.status != platform::AcquireStatus::kTimeout) {
        capture_failure = acquired;
        duplication_.reset();
      }
    }
    if (converter_ok_) {
      const std::uint64_t t0 = clock_.now_us();
      if (converter_->convert(image_, nv12_)) ++conversions;
      convert_us += clock_.now_us() - t0;
    }

    // An asynchronous encoder takes a frame only when it asked for one: a refused frame is
    // offered again until the next one is due, and counted.
    const std::uint64_t next_due = due + kFrameIntervalUs;
    const std::uint64_t time_us = static_cast<std::uint64_t>(i + 1) * kFrameIntervalUs;
    for (;;) {
      const std::uint64_t t0 = clock_.now_us();
      const bool accepted = encoder_->encode_frame(nv12_, time_us);
      encode_us += clock_.now_us() - t0;
      if (accepted) {
        ++taken;
        break;
      }
      ++refusals;
      if (clock_.now_us() + kRetryPauseMs * 1000 >= next_due) {
        ++dropped;
        break;
      }
      clock_.sleep_ms(kRetryPauseMs);
    }
  }
  const std::uint64_t fed_us = clock_.now_us() - start;

  // What is still inside the encoder comes out within about a second, or never.
  const std::uint64_t last_frame = clock_.now_us();
  while (units_.load() < taken && clock_.now_us() - last_frame < kOutputWaitUs) {
    if (!encoder_->is_async()) encoder_->drain_output();
    if (units_.load() >= taken) break;
    clock_.sleep_ms(kOutputPollMs);
  }
  const std::uint64_t waited_us = clock_.now_us() - last_frame;
  encoder_->shutdown();

  if (capture_failure) {
    step("capture", false,
         "AcquireNextFrame " + code_text(capture_failure->error_code) +
             " while feeding; the last picture was used from then on");
  }
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.1f s", static_cast<double>(fed_us) / 1e6);
  step("paced frames", dropped == 0,
       std::to_string(kPacedFrames) + " offered one per 33 ms over " + seconds + ", " +
           std::to_string(taken) + " taken, " + std::to_string(refusals) +
           " refusals (offered again), " + std::to_string(dropped) + " dropped");
  detail("per frame: capture " + ms_text(capture_us, copies) + " (" + std::to_string(copies) +
         " new pictures), convert " + ms_text(convert_us, conversions) + ", encode " +
         ms_text(encode_us, taken));
  char waited[32];
  std::snprintf(waited, sizeof(waited), "%.2f s", static_cast<double>(waited_us) / 1e6);
  const bool encoded = units_.load() > 0 && keyframes_.load() > 0;
  step("encoding", encoded,
       std::to_string(units_.load()) + " access units out of " + std::to_string(taken) +
           " frames taken, " + std::to_string(keyframes_.load()) +
           (keyframes_.load() == 1 ? " key frame" : " key frames") + "; waited " +
           waited + " after the last frame");
}

int Selftest::run() {
  if (platform_.describe_outputs) {
    for (const std::string& line : platform_.describe_outputs()) print_(line);
  }

  capture_first_frame();
  std::int32_t desktop_w = image_.width;
  std::int32_t desktop_h = image_.height;
  if (!have_frame_) {
    // Without a picture the rest is tried on a grey one.
    desktop_w = 1280;
    desktop_h = 720;
    image_.resize(desktop_w, desktop_h);
    for (std::int32_t y = 0; y < desktop_h; ++y) {
      std::fill(image_.row(y), image_.row(y) + image_.stride, std::uint8_t{128});
    }
  }

  std::int32_t stream_w = 0;
  std::int32_t stream_h = 0;
  stream_size(desktop_w, desktop_h, stream_w, stream_h);
  if (platform_.make_converter) converter_ = platform_.make_converter();
  converter_ok_ = converter_ &&
                  converter_->init(desktop_w, desktop_h, stream_w, stream_h, kTestFps) &&
                  converter_->convert(image_, nv12_);
  step("converter", converter_ok_,
       size_text(desktop_w, desktop_h) + " -> NV12 " + size_text(stream_w, stream_h));
  if (!converter_ok_) nv12_.resize(stream_w, stream_h);

  if (platform_.make_encoder_catalogue) catalogue_ = platform_.make_encoder_catalogue();
  step("catalogue", catalogue_ != nullptr, catalogue_ ? "" : "no encoders on this platform");
  if (!catalogue_) {
    print_("media self-test: FAILED");
    return 1;
  }
  list_encoders(platform::VideoCodec::kHevc, true);
  list_encoders(platform::VideoCodec::kH264, true);
  list_encoders(platform::VideoCodec::kH264, false);

  // The encoder the host would pick for a client that decodes HEVC.
  encoder_ = platform_.probes ? std::make_unique<Encoder>(*platform_.probes)
                              : std::make_unique<Encoder>();
  const bool opened =
      encoder_->open(catalogue_, stream_w, stream_h, kTestFps, kTestKbps, true,
                     [this](const std::uint8_t*, std::uint64_t, bool keyframe, std::uint64_t) {
                       units_.fetch_add(1);
                       if (keyframe) keyframes_.fetch_add(1);
                     });
  if (!opened) {
    step("encoder open", false, "no usable encoder");
  } else {
    const std::optional<std::uint64_t> capture_adapter = catalogue_->capture_adapter_id();
    const platform::VideoCodec codec =
        encoder_->is_hevc() ? platform::VideoCodec::kHevc : platform::VideoCodec::kH264;
    std::string where = encoder_->is_hardware() ? ", not on the capture adapter" : "";
    for (const platform::EncoderCandidate& c : candidates_) {
      if (c.name == encoder_->name() && c.codec == codec && c.hardware && capture_adapter &&
          c.adapter_id == capture_adapter) {
        where = ", on the capture adapter";
      }
    }
    step("encoder open", true,
         encoder_->name() + " (" + codec_name(codec) + ", " +
             (encoder_->is_async() ? "async" : "sync") + where + ", " +
             (encoder_->zero_copy() ? "frames as adapter surfaces" : "frames from memory") +
             ")");
    feed_paced_frames();
  }
  print_(std::string("media self-test: ") + (all_ok_ ? "passed" : "FAILED"));
  return all_ok_ ? 0 : 1;
}

}  // namespace

int run_media_selftest(const MediaSelftestPlatform& platform,
                       const std::function<void(const std::string&)>& print) {
  Selftest selftest(platform, print);
  return selftest.run();
}

int run_media_selftest() {
  platform::attach_parent_console();
  // What a serving host has (on Windows COM, Media Foundation and the 1 ms timer the pacing
  // relies on).
  platform::prepare_host_process();
  MediaSelftestPlatform platform;
  platform.describe_outputs = platform::describe_graphics_outputs;
  platform.make_capture_device = [] { return platform::make_capture_device(""); };
  platform.make_converter = platform::make_video_converter;
  platform.make_encoder_catalogue = [] {
    return std::shared_ptr<platform::EncoderCatalogue>(platform::make_encoder_catalogue());
  };
  const int status = run_media_selftest(platform, [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  return status;
}

}  // namespace tolvi
