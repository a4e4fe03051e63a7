#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "platform/capture.h"
#include "platform/converter.h"
#include "platform/encoder.h"

namespace tolvi {

class HardwareEncoderProbes;

// Where the media self-test's platform parts come from; tests hand in fakes and a fake clock.
struct MediaSelftestPlatform {
  std::function<std::vector<std::string>()> describe_outputs;  // null: nothing to list
  std::function<std::unique_ptr<platform::CaptureDevice>()> make_capture_device;
  std::function<std::unique_ptr<platform::VideoConverter>()> make_converter;
  std::function<std::shared_ptr<platform::EncoderCatalogue>()> make_encoder_catalogue;
  Clock* clock = nullptr;                   // null: the system clock
  HardwareEncoderProbes* probes = nullptr;  // null: the process's
};

// --selftest-media: walks the video path on this machine the way a session does and prints,
// one line each, what a person needs to judge it: the graphics outputs, the capture device, a
// duplication and its picture (surface format, rotation, HDR), the converter, the encoders
// found, the one chosen (and whether it sits on the capture adapter), about 2 s of frames fed
// at 30 a second (a refused frame is offered again, as the capture loop does), the time each
// stage took per frame, and the access units that came out (waiting up to 1 s after the last
// frame for an encoder that holds some back). Every failed platform call is printed with its
// code. 0 when every step worked.
int run_media_selftest(const MediaSelftestPlatform& platform,
                       const std::function<void(const std::string&)>& print);

// The same on this machine's platform, printed on standard output (connected to the parent's
// console first, where the program has none of its own).
int run_media_selftest();

}  // namespace tolvi
