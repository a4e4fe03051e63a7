#pragma once
// What a failed desktop duplication means and where to try next: the parts of the capture
// backend that need no graphics adapter.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/d3d11_device.h"

namespace tolvi::platform::win32 {

// What a DXGI or Direct3D result means for desktop duplication, for the log and the self-test:
// its name and the usual cause, e.g. "DXGI_ERROR_UNSUPPORTED: this adapter cannot duplicate
// the output (...)". Empty for codes without a known meaning here.
std::string duplication_error_meaning(HRESULT hr);

// The outputs to try, in order, when the chosen output's duplication is refused as
// unsupported: the same monitor (the same GDI device name) as seen from the other adapters
// (on a laptop with two graphics adapters the process may run on the one that cannot duplicate
// it), adapters in index order. The chosen pair itself is not among them.
std::vector<OutputFacts> same_monitor_elsewhere(const std::vector<OutputFacts>& outputs,
                                                const OutputFacts& chosen);

// Tries `open` on `chosen` and, only while it answers DXGI_ERROR_UNSUPPORTED, on each of the
// `alternatives` in turn. Returns the first success, else the first failure that was not
// UNSUPPORTED (that one explains more), else the last UNSUPPORTED. `opened` says which output
// succeeded.
HRESULT open_with_fallback(const OutputFacts& chosen, const std::vector<OutputFacts>& alternatives,
                           const std::function<HRESULT(const OutputFacts&)>& open,
                           OutputFacts& opened);

// The name of a duplicated surface's format for a person ("B8G8R8A8_UNORM",
// "R16G16B16A16_FLOAT (HDR)"), or its number.
std::string surface_format_name(DXGI_FORMAT format);
// Whether the desktop image holds that format as it is (32-bit B, G, R, x).
bool is_bgra(DXGI_FORMAT format);
// Degrees the monitor is turned (0, 90, 180, 270).
int rotation_degrees(DXGI_MODE_ROTATION rotation);

}  // namespace tolvi::platform::win32
