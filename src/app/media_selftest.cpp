#include "app/media_selftest.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/converter.h"
#include "platform/encoder.h"
#include "platform/graphics_report.h"
#include "video/encoder.h"

namespace tolvi {

namespace {

constexpr std::uint32_t kFirstFrameWaitMs = 500;
constexpr int kFrameAttempts = 4;  // a still desktop may time out once or twice
constexpr std::int32_t kTestFps = 30;
constexpr std::int32_t kTestKbps = 4000;
constexpr int kFramesToEncode = 30;
constexpr std::uint64_t kFrameIntervalUs = 33333;

// The stream size the converter and encoder are tried with: the desktop, halved until it fits
// 1920 x 1080, rounded down to even numbers.
void stream_size(std::int32_t width, std::int32_t height, std::int32_t& out_w,
                 std::int32_t& out_h) {
  while (width > 1920 || height > 1080) {
    width /= 2;
    height /= 2;
  }
  out_w = width & ~1;
  out_h = height & ~1;
}

const char* codec_name(platform::VideoCodec codec) {
  return codec == platform::VideoCodec::kHevc ? "HEVC" : "H.264";
}

void step(const char* name, bool ok, const std::string& detail) {
  std::printf("%-14s %s%s%s\n", name, ok ? "ok" : "FAILED", detail.empty() ? "" : ": ",
              detail.c_str());
}

std::string size_text(std::int32_t w, std::int32_t h) {
  return std::to_string(w) + "x" + std::to_string(h);
}

// Lists the candidates of one kind; true when there is at least one.
bool list_encoders(platform::EncoderCatalogue& catalogue, platform::VideoCodec codec,
                   bool hardware) {
  std::vector<platform::EncoderCandidate> found;
  const bool enumerated = catalogue.enumerate(codec, hardware, found);
  const std::string kind = std::string(hardware ? "hardware " : "software ") + codec_name(codec);
  step("encoders", enumerated, kind + ": " + std::to_string(found.size()) + " found");
  const std::optional<std::uint64_t> capture_adapter = catalogue.capture_adapter_id();
  for (const platform::EncoderCandidate& candidate : found) {
    const bool on_capture_adapter =
        capture_adapter && candidate.adapter_id && *candidate.adapter_id == *capture_adapter;
    std::printf(
        "                 %s%s%s\n", candidate.name.empty() ? "(unnamed)" : candidate.name.c_str(),
        candidate.async ? ", async" : "", on_capture_adapter ? ", on the capture adapter" : "");
  }
  return enumerated && !found.empty();
}

}  // namespace

int run_media_selftest() {
  bool all_ok = true;
  for (const std::string& line : platform::describe_graphics_outputs()) {
    std::printf("%s\n", line.c_str());
  }

  std::int32_t desktop_w = 0;
  std::int32_t desktop_h = 0;
  platform::DesktopImage image;
  bool have_frame = false;
  std::unique_ptr<platform::CaptureDevice> capture = platform::make_capture_device("");
  step("capture", capture != nullptr, capture ? capture->output_name() : "no primary output");
  if (capture) {
    std::unique_ptr<platform::OutputDuplication> duplication = capture->open_duplication();
    const platform::DesktopRect rect =
        duplication ? duplication->desktop_rect() : platform::DesktopRect{};
    step("duplication", duplication != nullptr,
         duplication ? size_text(rect.width(), rect.height()) + " at (" +
                           std::to_string(rect.left) + ", " + std::to_string(rect.top) + ")"
                     : "cannot duplicate the output");
    for (int i = 0; duplication && i < kFrameAttempts && !have_frame; ++i) {
      const platform::AcquireResult acquired = duplication->acquire_next_frame(kFirstFrameWaitMs);
      if (acquired.status == platform::AcquireStatus::kTimeout) continue;
      if (acquired.status != platform::AcquireStatus::kFrame) {
        char code[32];
        std::snprintf(code, sizeof(code), "error 0x%08lx",
                      static_cast<unsigned long>(acquired.error_code));
        step("frame", false, code);
        break;
      }
      have_frame = acquired.info.present && duplication->copy_frame_to(image);
      duplication->release_frame();
    }
    if (duplication) {
      step("frame", have_frame,
           have_frame ? size_text(image.width, image.height) : "no picture arrived");
    }
    all_ok = all_ok && duplication && have_frame;
  }
  all_ok = all_ok && capture;
  if (have_frame) {
    desktop_w = image.width;
    desktop_h = image.height;
  } else {
    // Without a picture the rest is tried on a grey one.
    desktop_w = 1280;
    desktop_h = 720;
    image.resize(desktop_w, desktop_h);
    for (std::int32_t y = 0; y < desktop_h; ++y) {
      std::fill(image.row(y), image.row(y) + image.stride, std::uint8_t{128});
    }
  }

  std::int32_t stream_w = 0;
  std::int32_t stream_h = 0;
  stream_size(desktop_w, desktop_h, stream_w, stream_h);
  platform::Nv12Image nv12;
  std::unique_ptr<platform::VideoConverter> converter = platform::make_video_converter();
  const bool converted = converter &&
                         converter->init(desktop_w, desktop_h, stream_w, stream_h, kTestFps) &&
                         converter->convert(image, nv12);
  step("converter", converted,
       size_text(desktop_w, desktop_h) + " -> NV12 " + size_text(stream_w, stream_h));
  all_ok = all_ok && converted;
  if (!converted) nv12.resize(stream_w, stream_h);

  std::shared_ptr<platform::EncoderCatalogue> catalogue = platform::make_encoder_catalogue();
  step("catalogue", catalogue != nullptr, catalogue ? "" : "no encoders on this platform");
  if (!catalogue) {
    std::printf("media self-test: FAILED\n");
    return 1;
  }
  bool any = false;
  any = list_encoders(*catalogue, platform::VideoCodec::kHevc, true) || any;
  any = list_encoders(*catalogue, platform::VideoCodec::kH264, true) || any;
  any = list_encoders(*catalogue, platform::VideoCodec::kH264, false) || any;
  all_ok = all_ok && any;

  // The encoder the host would pick for a client that decodes HEVC, fed for one second.
  int units = 0;
  int keyframes = 0;
  Encoder encoder;
  const bool opened =
      encoder.open(catalogue, stream_w, stream_h, kTestFps, kTestKbps, true,
                   [&](const std::uint8_t*, std::uint64_t, bool keyframe, std::uint64_t) {
                     ++units;
                     if (keyframe) ++keyframes;
                   });
  step("encoder open", opened,
       opened ? encoder.name() + " (" + (encoder.is_hevc() ? "HEVC" : "H.264") + ", " +
                    (encoder.is_async() ? "async" : "sync") + ", " +
                    (encoder.zero_copy() ? "GPU zero-copy" : "CPU upload") + ")"
              : "no usable encoder");
  if (opened) {
    int accepted = 0;
    for (int i = 0; i < kFramesToEncode; ++i) {
      if (encoder.encode_frame(nv12, static_cast<std::uint64_t>(i + 1) * kFrameIntervalUs)) {
        ++accepted;
      }
    }
    encoder.shutdown();
    const bool encoded = units > 0 && keyframes > 0;
    step("encoding", encoded,
         std::to_string(accepted) + " of " + std::to_string(kFramesToEncode) + " frames taken, " +
             std::to_string(units) + " access units out, " + std::to_string(keyframes) +
             " key frames");
    all_ok = all_ok && encoded;
  }
  all_ok = all_ok && opened;
  std::printf("media self-test: %s\n", all_ok ? "passed" : "FAILED");
  return all_ok ? 0 : 1;
}

}  // namespace tolvi
