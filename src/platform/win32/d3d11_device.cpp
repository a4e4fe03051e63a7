#include "platform/win32/d3d11_device.h"

#include "platform/win32/d3d11_picture.h"

#include <d3d10.h>

#include <array>
#include <climits>
#include <map>
#include <mutex>

namespace tolvi::platform::win32 {

namespace {

// BGRA surfaces (the desktop) and the video interfaces (processor, encoders).
constexpr UINT kDeviceFlags = D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;
constexpr std::array<D3D_FEATURE_LEVEL, 3> kFeatureLevels = {
    D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1};

bool monitor_is_primary(HMONITOR monitor) {
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  return monitor && GetMonitorInfoW(monitor, &info) && (info.dwFlags & MONITORINFOF_PRIMARY);
}

}  // namespace

void for_each_output(
    IDXGIFactory1& factory,
    const std::function<bool(IDXGIAdapter1&, IDXGIOutput*, const OutputFacts&)>& visit) {
  for (UINT a = 0;; ++a) {
    // The list ends with DXGI_ERROR_NOT_FOUND; any other failure ends it too, rather than
    // asking for the following indexes for ever.
    ComPtr<IDXGIAdapter1> adapter;
    if (FAILED(factory.EnumAdapters1(a, &adapter)) || !adapter) return;
    bool any_output = false;
    for (UINT o = 0;; ++o) {
      ComPtr<IDXGIOutput> output;
      if (FAILED(adapter->EnumOutputs(o, &output)) || !output) break;
      any_output = true;
      DXGI_OUTPUT_DESC desc{};
      if (FAILED(output->GetDesc(&desc))) continue;
      OutputFacts facts;
      facts.adapter_index = a;
      facts.output_index = o;
      facts.device_name = desc.DeviceName;
      facts.desktop = desc.DesktopCoordinates;
      facts.attached = desc.AttachedToDesktop != FALSE;
      facts.primary = monitor_is_primary(desc.Monitor);
      if (!visit(*adapter.Get(), output.Get(), facts)) return;
    }
    if (!any_output) {
      OutputFacts facts;
      facts.adapter_index = a;
      facts.output_index = UINT_MAX;
      if (!visit(*adapter.Get(), nullptr, facts)) return;
    }
  }
}

bool find_primary_output(PrimaryOutput& found) {
  ComPtr<IDXGIFactory1> factory;
  if (FAILED(CreateDXGIFactory1(IID_PPV_ARGS(&factory)))) return false;
  bool chosen = false;
  for_each_output(*factory.Get(),
                  [&](IDXGIAdapter1& adapter, IDXGIOutput* output, const OutputFacts& facts) {
                    if (!output || !facts.attached || !facts.primary) return true;
                    ComPtr<IDXGIOutput1> output1;
                    if (FAILED(output->QueryInterface(IID_PPV_ARGS(&output1)))) return true;
                    found.adapter = &adapter;
                    found.output = output1;
                    found.facts = facts;
                    chosen = true;
                    return false;
                  });
  return chosen;
}

bool create_video_device(IDXGIAdapter* adapter, ComPtr<ID3D11Device>& device,
                         ComPtr<ID3D11DeviceContext>& context) {
  device.Reset();
  context.Reset();
  // A given adapter needs the unknown driver type; without one the hardware driver is asked.
  const D3D_DRIVER_TYPE driver = adapter ? D3D_DRIVER_TYPE_UNKNOWN : D3D_DRIVER_TYPE_HARDWARE;
  if (FAILED(D3D11CreateDevice(adapter, driver, nullptr, kDeviceFlags, kFeatureLevels.data(),
                               static_cast<UINT>(kFeatureLevels.size()), D3D11_SDK_VERSION, &device,
                               nullptr, &context))) {
    return false;
  }
  ComPtr<ID3D10Multithread> multithread;
  if (SUCCEEDED(device.As(&multithread))) multithread->SetMultithreadProtected(TRUE);
  return true;
}

bool shared_video_device(IDXGIAdapter* adapter, ComPtr<ID3D11Device>& device,
                         ComPtr<ID3D11DeviceContext>& context) {
  std::uint64_t key = 0;
  DXGI_ADAPTER_DESC desc{};
  if (adapter && SUCCEEDED(adapter->GetDesc(&desc))) key = luid_value(desc.AdapterLuid);
  static std::mutex lock;
  static std::map<std::uint64_t, ComPtr<ID3D11Device>>* const devices =
      new std::map<std::uint64_t, ComPtr<ID3D11Device>>;  // kept to the process's end
  std::lock_guard guard(lock);
  ComPtr<ID3D11Device>& kept = (*devices)[key];
  if (kept && SUCCEEDED(kept->GetDeviceRemovedReason())) {
    device = kept;
    device->GetImmediateContext(&context);
    return true;
  }
  kept.Reset();
  if (!create_video_device(adapter, device, context)) return false;
  kept = device;
  return true;
}

std::uint64_t luid_value(const LUID& luid) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(luid.HighPart)) << 32) |
         luid.LowPart;
}

std::uint64_t adapter_luid(ID3D11Device& device) {
  ComPtr<IDXGIDevice> dxgi_device;
  ComPtr<IDXGIAdapter> adapter;
  DXGI_ADAPTER_DESC desc{};
  if (FAILED(device.QueryInterface(IID_PPV_ARGS(&dxgi_device))) ||
      FAILED(dxgi_device->GetAdapter(&adapter)) || FAILED(adapter->GetDesc(&desc))) {
    return 0;
  }
  return luid_value(desc.AdapterLuid);
}

D3D11_VIDEO_PROCESSOR_ROTATION upright_rotation(DXGI_MODE_ROTATION rotation) {
  // A surface duplicated at 90 degrees shows the desktop's top row as its first column read
  // from the bottom up: turning it 90 degrees clockwise puts that column on top, left to right.
  switch (rotation) {
    case DXGI_MODE_ROTATION_ROTATE90:
      return D3D11_VIDEO_PROCESSOR_ROTATION_90;
    case DXGI_MODE_ROTATION_ROTATE180:
      return D3D11_VIDEO_PROCESSOR_ROTATION_180;
    case DXGI_MODE_ROTATION_ROTATE270:
      return D3D11_VIDEO_PROCESSOR_ROTATION_270;
    default:
      return D3D11_VIDEO_PROCESSOR_ROTATION_IDENTITY;
  }
}

ComPtr<ID3D11Device> device_of(ID3D11Texture2D& texture) {
  ComPtr<ID3D11Device> device;
  texture.GetDevice(&device);
  return device;
}

}  // namespace tolvi::platform::win32
