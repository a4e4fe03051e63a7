#include "input/scan_codes.h"

#include <array>
#include <cstddef>

namespace tolvi {
namespace {

struct Entry {
  std::uint16_t usage;
  std::uint16_t scan_code;
};

// Usages whose scan codes do not follow a run; the runs are filled in below.
constexpr Entry kEntries[] = {
    // Letters A..Z (usages 4..29) in keyboard order rather than a formula.
    {4, 0x1E},     {5, 0x30},  {6, 0x2E},  {7, 0x20},  {8, 0x12},  {9, 0x21},  {10, 0x22},
    {11, 0x23},    {12, 0x17}, {13, 0x24}, {14, 0x25}, {15, 0x26}, {16, 0x32}, {17, 0x31},
    {18, 0x18},    {19, 0x19}, {20, 0x10}, {21, 0x13}, {22, 0x1F}, {23, 0x14}, {24, 0x16},
    {25, 0x2F},    {26, 0x11}, {27, 0x2D}, {28, 0x15}, {29, 0x2C}, {40, 0x1C},  // Enter
    {41, 0x01},                                                                 // Escape
    {42, 0x0E},                                                                 // Backspace
    {43, 0x0F},                                                                 // Tab
    {44, 0x39},                                                                 // Space
    {45, 0x0C},                                                                 // minus
    {46, 0x0D},                                                                 // equals
    {47, 0x1A},                                                                 // left bracket
    {48, 0x1B},                                                                 // right bracket
    {49, 0x2B},                                                                 // backslash
    {50, 0x2B},                                                                 // non-US hash
    {51, 0x27},                                                                 // semicolon
    {52, 0x28},                                                                 // apostrophe
    {53, 0x29},                                                                 // grave accent
    {54, 0x33},                                                                 // comma
    {55, 0x34},                                                                 // period
    {56, 0x35},                                                                 // slash
    {57, 0x3A},                                                                 // Caps Lock
    {68, 0x57},                                                                 // F11
    {69, 0x58},                                                                 // F12
    {70, 0xE037},                                                               // Print Screen
    {71, 0x46},                                                                 // Scroll Lock
    {73, 0xE052},                                                               // Insert
    {74, 0xE047},                                                               // Home
    {75, 0xE049},                                                               // Page Up
    {76, 0xE053},                                                               // Delete
    {77, 0xE04F},                                                               // End
    {78, 0xE051},                                                               // Page Down
    {79, 0xE04D},                                                               // Right
    {80, 0xE04B},                                                               // Left
    {81, 0xE050},                                                               // Down
    {82, 0xE048},                                                               // Up
    {83, 0x45},                                                                 // Num Lock
    {84, 0xE035},                                                               // keypad slash
    {85, 0x37},                                                                 // keypad asterisk
    {86, 0x4A},                                                                 // keypad minus
    {87, 0x4E},                                                                 // keypad plus
    {88, 0xE01C},                                                               // keypad Enter
    {89, 0x4F},    {90, 0x50}, {91, 0x51}, {92, 0x4B}, {93, 0x4C}, {94, 0x4D}, {95, 0x47},
    {96, 0x48},    {97, 0x49},  // keypad 1..9
    {98, 0x52},                 // keypad 0
    {99, 0x53},                 // keypad period
    {100, 0x56},                // non-US backslash
    {101, 0xE05D},              // Application
    {103, 0x59},                // keypad equals
    {127, 0xE020},              // Mute
    {128, 0xE030},              // Volume Up
    {129, 0xE02E},              // Volume Down
    {133, 0x7E},                // keypad comma
    {135, 0x73},                // International1
    {137, 0x7D},                // International3
    {144, 0x72},                // LANG1
    {145, 0x71},                // LANG2
    {224, 0x1D},                // left Control
    {225, 0x2A},                // left Shift
    {226, 0x38},                // left Alt
    {227, 0xE05B},              // left GUI
    {228, 0xE01D},              // right Control
    {229, 0x36},                // right Shift
    {230, 0xE038},              // right Alt
    {231, 0xE05C},              // right GUI
};

constexpr std::size_t kUsages = 256;

constexpr std::array<std::uint16_t, kUsages> make_table() {
  std::array<std::uint16_t, kUsages> table{};
  for (const Entry& e : kEntries) table[e.usage] = e.scan_code;
  // Digits 1..9, 0 (usages 30..39): scan codes 02..0B.
  for (std::uint16_t usage = 30; usage <= 39; ++usage) table[usage] = usage - 28;
  // F1..F10 (usages 58..67): scan codes 3B..44.
  for (std::uint16_t usage = 58; usage <= 67; ++usage) table[usage] = usage + 1;
  // F13..F20 (usages 104..111): scan codes 64..6B.
  for (std::uint16_t usage = 104; usage <= 111; ++usage) table[usage] = usage - 4;
  return table;
}

constexpr std::array<std::uint16_t, kUsages> kScanCodes = make_table();

}  // namespace

std::uint16_t scan_code_for_usage(std::uint16_t usage) {
  return usage < kUsages ? kScanCodes[usage] : 0;
}

}  // namespace tolvi
