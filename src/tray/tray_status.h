#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace tolvi {

// What the tray shows: the connected client's description and an error, either may be empty.
struct StatusSnapshot {
  std::string client;
  std::string error;
  bool operator==(const StatusSnapshot&) const = default;
};

// The precedence the icon and the menu share: an error wins over a client, a client over
// waiting.
enum class StatusKind { Error, Connected, Waiting };
StatusKind status_kind(const StatusSnapshot& status);

// The icon's tip, at most kMaxTipUnits UTF-16 units (the Windows tip field holds 128 with its
// terminator); a longer one is cut, never inside a character.
constexpr std::size_t kMaxTipUnits = 127;
std::string tray_tip(const StatusSnapshot& status);

// The menu's status line.
std::string menu_status_line(const StatusSnapshot& status);

// The agent's "Status" value as the tray polls it: "error: " at the very start marks an error,
// anything else describes the client. A stopped service is an error of its own.
constexpr char kErrorStatusMarker[] = "error: ";
constexpr char kServiceNotRunning[] = "Service is not running";
StatusSnapshot parse_polled_status(const std::string& value, bool service_running);

// The first `max_units` UTF-16 units' worth of whole characters of UTF-8 `text`.
std::string cut_to_utf16_units(std::string_view text, std::size_t max_units);
// The length of UTF-8 `text` in UTF-16 units (malformed bytes count one each).
std::size_t utf16_length(std::string_view text);

}  // namespace tolvi
