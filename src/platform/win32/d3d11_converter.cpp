// BGRA to NV12 with the Direct3D 11 video processor, scaled in the same pass: RGB full range in,
// BT.709 studio range out. The desktop picture arrives in memory and is uploaded; the processor
// writes into a rotation of four NV12 textures, and the finished one is read back.
#include <d3d11.h>
#include <d3d11_1.h>
#include <windows.h>

#include <array>
#include <cstring>

#include "platform/converter.h"
#include "platform/win32/d3d11_device.h"
#include "platform/win32/video_processor.h"

namespace tolvi::platform {

namespace {

using win32::ComPtr;

constexpr std::size_t kPoolSlots = 4;

class D3d11Converter : public VideoConverter {
 public:
  D3d11Converter(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context)
      : device_(std::move(device)), context_(std::move(context)) {}

  bool init(std::int32_t source_width, std::int32_t source_height, std::int32_t target_width,
            std::int32_t target_height, std::int32_t fps) override {
    release();
    if (source_width <= 0 || source_height <= 0 || target_width <= 0 || target_height <= 0 ||
        target_width % 2 || target_height % 2) {
      return false;
    }
    if (!make_texture(source_width, source_height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_USAGE_DEFAULT,
                      D3D11_BIND_RENDER_TARGET, 0, source_)) {
      return false;
    }
    std::array<ID3D11Texture2D*, kPoolSlots> targets{};
    for (std::size_t i = 0; i < kPoolSlots; ++i) {
      if (!make_texture(target_width, target_height, DXGI_FORMAT_NV12, D3D11_USAGE_DEFAULT,
                        D3D11_BIND_RENDER_TARGET, 0, pool_[i])) {
        return false;
      }
      targets[i] = pool_[i].Get();
    }
    if (!make_texture(target_width, target_height, DXGI_FORMAT_NV12, D3D11_USAGE_STAGING, 0,
                      D3D11_CPU_ACCESS_READ, readback_)) {
      return false;
    }
    win32::VideoProcessorSize size{source_width, source_height, target_width, target_height, fps};
    if (!processor_.init(*device_.Get(), *context_.Get(), *source_.Get(), targets.data(),
                         targets.size(), size)) {
      return false;
    }
    source_width_ = source_width;
    source_height_ = source_height;
    target_width_ = target_width;
    target_height_ = target_height;
    return true;
  }

  bool convert(const DesktopImage& source, Nv12Image& target) override {
    if (!source_ || source.width != source_width_ || source.height != source_height_ ||
        source.stride < static_cast<std::size_t>(source.width) * 4) {
      return false;
    }
    context_->UpdateSubresource(source_.Get(), 0, nullptr, source.data(),
                                static_cast<UINT>(source.stride), 0);
    const std::size_t slot = slot_;
    if (!processor_.convert(slot)) return false;
    slot_ = (slot_ + 1) % kPoolSlots;
    context_->CopyResource(readback_.Get(), pool_[slot].Get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(readback_.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return false;
    if (target.width != target_width_ || target.height != target_height_) {
      target.resize(target_width_, target_height_);
    }
    // The UV plane follows the Y plane's `height` rows at the same pitch.
    const auto* base = static_cast<const std::uint8_t*>(mapped.pData);
    const auto width = static_cast<std::size_t>(target_width_);
    for (std::int32_t r = 0; r < target_height_ + target_height_ / 2; ++r) {
      std::memcpy(target.data.data() + static_cast<std::size_t>(r) * width,
                  base + static_cast<std::size_t>(r) * mapped.RowPitch, width);
    }
    context_->Unmap(readback_.Get(), 0);
    return true;
  }

 private:
  bool make_texture(std::int32_t width, std::int32_t height, DXGI_FORMAT format, D3D11_USAGE usage,
                    UINT bind, UINT cpu_access, ComPtr<ID3D11Texture2D>& out) {
    const D3D11_TEXTURE2D_DESC desc = win32::texture_description(
        static_cast<UINT>(width), static_cast<UINT>(height), format, usage, bind, cpu_access);
    return SUCCEEDED(device_->CreateTexture2D(&desc, nullptr, &out));
  }

  void release() {
    processor_.release();
    readback_.Reset();
    for (auto& texture : pool_) texture.Reset();
    source_.Reset();
    source_width_ = source_height_ = target_width_ = target_height_ = 0;
    slot_ = 0;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11Texture2D> source_;
  std::array<ComPtr<ID3D11Texture2D>, kPoolSlots> pool_;
  ComPtr<ID3D11Texture2D> readback_;
  win32::VideoProcessor processor_;
  std::size_t slot_ = 0;
  std::int32_t source_width_ = 0;
  std::int32_t source_height_ = 0;
  std::int32_t target_width_ = 0;
  std::int32_t target_height_ = 0;
};

}  // namespace

std::unique_ptr<VideoConverter> make_video_converter() {
  // On the adapter that holds the desktop, like the capture device.
  win32::PrimaryOutput primary;
  IDXGIAdapter* adapter = win32::find_primary_output(primary) ? primary.adapter.Get() : nullptr;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  if (!win32::create_video_device(adapter, device, context)) return nullptr;
  return std::make_unique<D3d11Converter>(std::move(device), std::move(context));
}

}  // namespace tolvi::platform
