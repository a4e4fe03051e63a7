#pragma once
#include <memory>

#include "platform/capture.h"
#include "platform/clipboard.h"
#include "platform/display.h"
#include "platform/input.h"

namespace tolvi::platform {

// The backends for GNOME on Wayland: mutter's remote-desktop session with its screen cast of
// the primary monitor (mutter_remote_desktop.h), shared by the three.
std::unique_ptr<CaptureDevice> make_mutter_capture_device();
std::unique_ptr<InputSink> make_mutter_input_sink();
std::unique_ptr<ClipboardWatcher> make_mutter_clipboard_watcher();
// Modes and scaling through mutter's DisplayConfig (temporary configurations); null when it
// does not answer. With `undo_at_end`, what is still changed when it goes is put back.
std::unique_ptr<DisplayBackend> make_mutter_display_backend(bool undo_at_end);
// Control, Alt and Delete pressed and released through the remote-desktop session's keyboard.
// False when no session can be had.
bool press_mutter_secure_attention();

}  // namespace tolvi::platform
