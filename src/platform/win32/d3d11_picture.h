#pragma once
// The picture the Windows capture, conversion and encoding backends hand each other on the
// graphics adapter: a Direct3D 11 texture of the shared device (d3d11_device.h).
#include <d3d11.h>
#include <dxgi.h>

#include "platform/capture.h"
#include "platform/win32/d3d11_device.h"

namespace tolvi::platform::win32 {

struct D3d11Picture : GpuPicture {
  D3d11Picture(ComPtr<ID3D11Texture2D> t, DXGI_MODE_ROTATION r)
      : texture(std::move(t)), rotation(r) {}
  ComPtr<ID3D11Texture2D> texture;
  // How the texture is turned against the desktop (a rotated monitor's duplicated surface is
  // in the monitor's own orientation); the converter turns it upright.
  DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
};

// The video processor's turn that makes a surface of `rotation` upright (clockwise degrees,
// as both enumerations count them).
D3D11_VIDEO_PROCESSOR_ROTATION upright_rotation(DXGI_MODE_ROTATION rotation);

// The device a texture was made on.
ComPtr<ID3D11Device> device_of(ID3D11Texture2D& texture);

}  // namespace tolvi::platform::win32
