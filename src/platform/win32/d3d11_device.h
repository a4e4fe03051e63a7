#pragma once
// The graphics objects the capture, conversion and encoding backends share the choice of: the
// primary output of the desktop, its adapter, and a Direct3D 11 device on that adapter.
#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <string>

namespace tolvi::platform::win32 {

using Microsoft::WRL::ComPtr;

// One output as DXGI describes it.
struct OutputFacts {
  UINT adapter_index = 0;
  UINT output_index = 0;
  std::wstring device_name;  // the GDI display device name, e.g. \\.\DISPLAY1
  RECT desktop{};            // in virtual-desktop pixels
  bool attached = false;
  bool primary = false;  // the monitor carries MONITORINFOF_PRIMARY (false when unknown)
};

// Calls `visit` for every output of every adapter, adapters and outputs in index order, until it
// returns false. Adapters without outputs are visited with an output index of UINT_MAX.
void for_each_output(
    IDXGIFactory1& factory,
    const std::function<bool(IDXGIAdapter1&, IDXGIOutput*, const OutputFacts&)>& visit);

struct PrimaryOutput {
  ComPtr<IDXGIAdapter1> adapter;
  ComPtr<IDXGIOutput1> output;
  OutputFacts facts;
};

// The first output, adapters and outputs in index order, that is attached to the desktop and
// whose monitor is the primary one. False when there is none (or no factory).
bool find_primary_output(PrimaryOutput& found);

// A device on `adapter` (the default adapter when null) for BGRA and video work, feature level
// 11.1, 11.0 or 10.1, with multithread protection on where offered (an encoder's threads use it
// too). False when none can be made.
bool create_video_device(IDXGIAdapter* adapter, ComPtr<ID3D11Device>& device,
                         ComPtr<ID3D11DeviceContext>& context);

// The device the capture, conversion and encoding backends share on `adapter` (the default
// adapter when null), so that a picture stays on the adapter from capture to encoder: made by
// create_video_device on first use, kept for the process, and made anew once the one kept is
// removed (a driver update or reset). Multithread-protected: several sessions' threads and an
// encoder's own threads use its immediate context. Any thread.
bool shared_video_device(IDXGIAdapter* adapter, ComPtr<ID3D11Device>& device,
                         ComPtr<ID3D11DeviceContext>& context);

// The adapter LUID of `device` as one number (high part in the upper 32 bits); 0 when unknown.
std::uint64_t adapter_luid(ID3D11Device& device);
std::uint64_t luid_value(const LUID& luid);

// A plain 2-D texture as all three backends make them: one mip level, one layer, one sample.
inline D3D11_TEXTURE2D_DESC texture_description(UINT width, UINT height, DXGI_FORMAT format,
                                                D3D11_USAGE usage, UINT bind_flags = 0,
                                                UINT cpu_access = 0) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = usage;
  desc.BindFlags = bind_flags;
  desc.CPUAccessFlags = cpu_access;
  return desc;
}

}  // namespace tolvi::platform::win32
