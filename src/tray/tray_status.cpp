#include "tray/tray_status.h"

namespace tolvi {
namespace {

constexpr char kTipPrefix[] = "Tolvi Host \u2014 ";
constexpr char kTipConnected[] = "connected: ";
constexpr char kTipWaiting[] = "waiting for a client";
constexpr char kLineConnected[] = "Connected: ";
constexpr char kLineWaiting[] = "No client connected";

// Bytes of the UTF-8 character starting with `lead`, and its UTF-16 units. A byte that cannot
// start a character counts as one byte, one unit.
struct CharShape {
  std::size_t bytes;
  std::size_t units;
};
CharShape shape_of(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return {4, 2};
  if (lead >= 0xE0 && lead < 0xF0) return {3, 1};
  if (lead >= 0xC0 && lead < 0xE0) return {2, 1};
  return {1, 1};
}

}  // namespace

StatusKind status_kind(const StatusSnapshot& status) {
  if (!status.error.empty()) return StatusKind::Error;
  if (!status.client.empty()) return StatusKind::Connected;
  return StatusKind::Waiting;
}

std::string cut_to_utf16_units(std::string_view text, std::size_t max_units) {
  std::size_t at = 0;
  std::size_t units = 0;
  while (at < text.size()) {
    CharShape shape = shape_of(static_cast<unsigned char>(text[at]));
    if (at + shape.bytes > text.size()) shape = {1, 1};
    if (units + shape.units > max_units) break;
    units += shape.units;
    at += shape.bytes;
  }
  return std::string(text.substr(0, at));
}

std::size_t utf16_length(std::string_view text) {
  std::size_t at = 0;
  std::size_t units = 0;
  while (at < text.size()) {
    CharShape shape = shape_of(static_cast<unsigned char>(text[at]));
    if (at + shape.bytes > text.size()) shape = {1, 1};
    units += shape.units;
    at += shape.bytes;
  }
  return units;
}

std::string tray_tip(const StatusSnapshot& status) {
  std::string tip = kTipPrefix;
  switch (status_kind(status)) {
    case StatusKind::Error:
      tip += status.error;
      break;
    case StatusKind::Connected:
      tip += kTipConnected + status.client;
      break;
    case StatusKind::Waiting:
      tip += kTipWaiting;
      break;
  }
  return cut_to_utf16_units(tip, kMaxTipUnits);
}

std::string menu_status_line(const StatusSnapshot& status) {
  switch (status_kind(status)) {
    case StatusKind::Error:
      return status.error;
    case StatusKind::Connected:
      return kLineConnected + status.client;
    case StatusKind::Waiting:
      break;
  }
  return kLineWaiting;
}

StatusSnapshot parse_polled_status(const std::string& value, bool service_running) {
  StatusSnapshot status;
  const std::string_view marker = kErrorStatusMarker;
  if (value.compare(0, marker.size(), marker) == 0) {
    status.error = value.substr(marker.size());
  } else {
    status.client = value;
  }
  if (!service_running) status.error = kServiceNotRunning;
  return status;
}

}  // namespace tolvi
