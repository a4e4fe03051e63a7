#include "platform/graphics_report.h"

#include <cstdlib>

#include "platform/capture.h"

namespace tolvi::platform {

std::vector<std::string> describe_graphics_outputs() {
  const char* display = std::getenv("DISPLAY");
  std::vector<std::string> lines{std::string("X display: ") + (display ? display : "(none)")};
  if (std::unique_ptr<CaptureDevice> device = make_capture_device("")) {
    lines.push_back("  primary output: " + device->output_name() + " <- streamed");
  } else {
    lines.emplace_back("  no primary output");
  }
  return lines;
}

}  // namespace tolvi::platform
