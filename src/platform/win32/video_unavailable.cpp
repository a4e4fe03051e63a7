// The Windows capture, conversion and encoding backends (desktop duplication, the Direct3D 11
// video processor, Media Foundation) are not part of this build yet. Their factories say so:
// no device, no converter, no encoders, so a session that asks for video ends as one on a
// machine without them would.
#include "platform/capture.h"
#include "platform/converter.h"
#include "platform/encoder.h"

namespace tolvi::platform {

std::unique_ptr<CaptureDevice> make_capture_device(const std::string&) { return nullptr; }

std::unique_ptr<VideoConverter> make_video_converter() { return nullptr; }

std::unique_ptr<EncoderCatalogue> make_encoder_catalogue() { return nullptr; }

}  // namespace tolvi::platform
