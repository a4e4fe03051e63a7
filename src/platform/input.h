#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tolvi::platform {

// Input injection: the platform receives finished events and says how large the virtual
// screen is. Normalisation, wheel remainders, the usage table and the held sets live in
// input/. The event records carry the values of the Windows SendInput records, so the Windows
// backend copies them as they are and the others translate them. Nothing here logs.

// Mouse event flags.
inline constexpr std::uint32_t kMouseMove = 0x0001;
inline constexpr std::uint32_t kMouseLeftDown = 0x0002;
inline constexpr std::uint32_t kMouseLeftUp = 0x0004;
inline constexpr std::uint32_t kMouseRightDown = 0x0008;
inline constexpr std::uint32_t kMouseRightUp = 0x0010;
inline constexpr std::uint32_t kMouseMiddleDown = 0x0020;
inline constexpr std::uint32_t kMouseMiddleUp = 0x0040;
inline constexpr std::uint32_t kMouseXDown = 0x0080;
inline constexpr std::uint32_t kMouseXUp = 0x0100;
inline constexpr std::uint32_t kMouseWheel = 0x0800;
inline constexpr std::uint32_t kMouseHWheel = 0x1000;
inline constexpr std::uint32_t kMouseVirtualDesk = 0x4000;
inline constexpr std::uint32_t kMouseAbsolute = 0x8000;
// Mouse data of an X button event.
inline constexpr std::int32_t kXButton1 = 1;
inline constexpr std::int32_t kXButton2 = 2;
// Wheel data of one notch.
inline constexpr std::int32_t kWheelDelta = 120;
// Most wheel notches one batch may scroll. The input logic asks for no more per client
// message, and a sink that turns notches into single clicks drops what goes beyond, so a
// client's number never becomes a long loop of requests.
inline constexpr std::int32_t kMaxWheelNotchesPerBatch = 100;
// Absolute positions run from 0 to this over the virtual screen.
inline constexpr std::int32_t kAbsoluteSpan = 65535;
// The pixel extent kAbsoluteSpan stands for on an axis of `size` pixels: size - 1, or 1 below
// three pixels (no division by 0). Positions are normalised and mapped back by this one rule.
inline double absolute_extent(std::int32_t size) {
  constexpr std::int32_t kSmallestScaledExtent = 3;
  return size < kSmallestScaledExtent ? 1.0 : static_cast<double>(size) - 1.0;
}

// Keyboard event flags.
inline constexpr std::uint32_t kKeyExtended = 0x0001;
inline constexpr std::uint32_t kKeyUp = 0x0002;
inline constexpr std::uint32_t kKeyScanCode = 0x0008;

struct InputEvent {
  enum class Kind { Mouse, Key };
  Kind kind = Kind::Mouse;
  // Mouse: position (0..kAbsoluteSpan over the virtual screen when kMouseAbsolute is set),
  // mouse data (wheel amount or X button) and flags.
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::int32_t mouse_data = 0;
  // Key: the set-1 scan code's low byte (the E0 prefix is kKeyExtended).
  std::uint16_t scan_code = 0;
  // kMouse* or kKey* flags, by kind.
  std::uint32_t flags = 0;

  bool operator==(const InputEvent&) const = default;
};

// The virtual screen: every monitor's area together, in desktop pixels.
struct VirtualScreen {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

class InputSink {
 public:
  virtual ~InputSink() = default;
  // Injects the events in order as one batch. False only when the platform can no longer
  // inject at all (the display connection is gone); a refused event is not a failure.
  virtual bool inject(std::span<const InputEvent> events) = 0;
  virtual VirtualScreen virtual_screen() = 0;
};

// The sink for the session's desktop ("" for the process's own display); null when the
// platform has no way to inject input.
std::unique_ptr<InputSink> make_input_sink(const std::string& display);

// Presses Ctrl+Alt+Del on the session's desktop through the same keyboard path as the client's
// keys, where that desktop takes the chord from us (GNOME on Wayland, which answers with its
// log-out dialog). False where only the service can raise it (X11 and Windows ask the service).
bool press_secure_attention_keys();

// Attaches the calling thread to the desktop that currently receives input, if it is on
// another one. True when it moved; then thread_id and desktop_name say which thread and where.
// Where one display has one input desktop this never moves.
bool follow_input_desktop(unsigned long& thread_id, std::wstring& desktop_name);

}  // namespace tolvi::platform
