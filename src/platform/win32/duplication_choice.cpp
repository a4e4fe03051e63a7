#include "platform/win32/duplication_choice.h"

#include <dxgi1_2.h>

namespace tolvi::platform::win32 {

std::string duplication_error_meaning(HRESULT hr) {
  switch (hr) {
    case E_ACCESSDENIED:
      return "E_ACCESSDENIED: the secure desktop (sign-in, lock screen or an elevation prompt) "
             "is showing, or this process is not on the desktop that has the input";
    case DXGI_ERROR_UNSUPPORTED:
      return "DXGI_ERROR_UNSUPPORTED: this adapter cannot duplicate the output (on a laptop with "
             "two graphics adapters, the process runs on the one that does not drive the "
             "monitor)";
    case DXGI_ERROR_NOT_CURRENTLY_AVAILABLE:
      return "DXGI_ERROR_NOT_CURRENTLY_AVAILABLE: too many programs duplicate this output "
             "already (screen recorders, other remote-desktop hosts)";
    case DXGI_ERROR_SESSION_DISCONNECTED:
      return "DXGI_ERROR_SESSION_DISCONNECTED: this session is not on the console (a Remote "
             "Desktop connection or another user has it)";
    case DXGI_ERROR_DEVICE_REMOVED:
      return "DXGI_ERROR_DEVICE_REMOVED: the graphics driver was updated or reset, or the "
             "adapter was removed";
    case DXGI_ERROR_DEVICE_RESET:
      return "DXGI_ERROR_DEVICE_RESET: the graphics device was reset";
    case DXGI_ERROR_ACCESS_LOST:
      return "DXGI_ERROR_ACCESS_LOST: the desktop switched or its mode changed";
    case DXGI_ERROR_INVALID_CALL:
      return "DXGI_ERROR_INVALID_CALL: the output is gone (a monitor unplugged)";
    case E_NOTIMPL:
      return "E_NOTIMPL: this system has no desktop duplication (Wine, or a display driver "
             "without it)";
    case E_INVALIDARG:
      return "E_INVALIDARG: the device is on another adapter than the output";
    default:
      return {};
  }
}

std::vector<OutputFacts> same_monitor_elsewhere(const std::vector<OutputFacts>& outputs,
                                                const OutputFacts& chosen) {
  std::vector<OutputFacts> found;
  for (const OutputFacts& facts : outputs) {
    if (facts.adapter_index == chosen.adapter_index) continue;
    if (facts.device_name.empty() || facts.device_name != chosen.device_name) continue;
    found.push_back(facts);
  }
  return found;
}

HRESULT open_with_fallback(const OutputFacts& chosen, const std::vector<OutputFacts>& alternatives,
                           const std::function<HRESULT(const OutputFacts&)>& open,
                           OutputFacts& opened) {
  HRESULT hr = open(chosen);
  if (SUCCEEDED(hr)) {
    opened = chosen;
    return hr;
  }
  if (hr != DXGI_ERROR_UNSUPPORTED) return hr;
  HRESULT explaining = hr;
  for (const OutputFacts& next : alternatives) {
    const HRESULT result = open(next);
    if (SUCCEEDED(result)) {
      opened = next;
      return result;
    }
    if (explaining == DXGI_ERROR_UNSUPPORTED) explaining = result;
  }
  return explaining;
}

std::string surface_format_name(DXGI_FORMAT format) {
  switch (format) {
    case DXGI_FORMAT_B8G8R8A8_UNORM:
      return "B8G8R8A8_UNORM";
    case DXGI_FORMAT_B8G8R8A8_UNORM_SRGB:
      return "B8G8R8A8_UNORM_SRGB";
    case DXGI_FORMAT_R16G16B16A16_FLOAT:
      return "R16G16B16A16_FLOAT (HDR)";
    case DXGI_FORMAT_R10G10B10A2_UNORM:
      return "R10G10B10A2_UNORM (10-bit)";
    case DXGI_FORMAT_R8G8B8A8_UNORM:
      return "R8G8B8A8_UNORM";
    default:
      return "DXGI format " + std::to_string(static_cast<int>(format));
  }
}

bool is_bgra(DXGI_FORMAT format) {
  return format == DXGI_FORMAT_B8G8R8A8_UNORM || format == DXGI_FORMAT_B8G8R8A8_UNORM_SRGB;
}

int rotation_degrees(DXGI_MODE_ROTATION rotation) {
  switch (rotation) {
    case DXGI_MODE_ROTATION_ROTATE90:
      return 90;
    case DXGI_MODE_ROTATION_ROTATE180:
      return 180;
    case DXGI_MODE_ROTATION_ROTATE270:
      return 270;
    default:
      return 0;
  }
}

}  // namespace tolvi::platform::win32
