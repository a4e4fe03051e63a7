#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tolvi::client {

// One message the client sends as a command-line action.
struct OutgoingMessage {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
};

enum class OptionParse { NotMine, Parsed, Invalid };

// The input actions of the command line:
//   --move X Y            MouseMove to X, Y (0..1 over the streamed picture)
//   --button B down|up    MouseButton B (0 left, 1 right, 2 middle, 3 and 4 extra)
//   --wheel H V [--fine]  MouseWheel by H, V
//   --key USAGE down|up   Key with a USB HID usage (decimal or 0x..)
//   --type TEXT           Key presses and releases typing TEXT on a US layout
//   --release-keys        ReleaseKeys
// Looks at argv[i]: when it is one of these, appends its messages to out and leaves i on the
// option's last argument. Invalid: `error` says what was wrong ("--key needs USAGE down|up").
OptionParse parse_input_option(int argc, char** argv, int& i, std::vector<OutgoingMessage>& out,
                               std::string& error);

// The US-layout HID usage of a character and whether it needs Shift; false when the layout
// has no key for it.
bool usage_for_char(char c, std::uint16_t& usage, bool& shift);

// Key messages typing text (Shift pressed around the characters that need it); false when a
// character has no key.
bool type_text(const std::string& text, std::vector<OutgoingMessage>& out);

}  // namespace tolvi::client
