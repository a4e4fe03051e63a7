#pragma once
#include <filesystem>
#include <memory>
#include <string>

#include "platform/capture.h"
#include "platform/clipboard.h"
#include "platform/display.h"
#include "platform/input.h"

namespace tolvi::platform {

// The backends for an X display ("" for $DISPLAY): MIT-SHM capture, XTest input, the
// CLIPBOARD selection; RandR display control of $DISPLAY.
std::unique_ptr<CaptureDevice> make_x11_capture_device(const std::string& display_name);
std::unique_ptr<InputSink> make_xtest_input_sink(const std::string& display_name);
std::unique_ptr<ClipboardWatcher> make_x11_clipboard_watcher(const std::string& display_name);
std::unique_ptr<DisplayBackend> make_xrandr_display_backend(
    const std::filesystem::path& state_folder);

}  // namespace tolvi::platform
