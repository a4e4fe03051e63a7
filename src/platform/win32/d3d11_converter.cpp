// BGRA to NV12 with the Direct3D 11 video processor, scaled (and turned upright) in the same
// pass: RGB full range in, BT.709 studio range out, into a rotation of four NV12 textures.
// A desktop picture on the adapter (the capture's desktop texture) is read by the processor
// where it lies, and the NV12 result stays on the adapter for the encoder. A picture in memory
// is uploaded first and the result read back into memory.
#include <d3d11.h>
#include <d3d11_1.h>
#include <windows.h>

#include <array>
#include <cstring>

#include "platform/converter.h"
#include "platform/win32/d3d11_device.h"
#include "platform/win32/d3d11_picture.h"
#include "platform/win32/video_processor.h"

namespace tolvi::platform {

namespace {

using win32::ComPtr;

constexpr std::size_t kPoolSlots = 4;

class D3d11Converter : public VideoConverter {
 public:
  D3d11Converter(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context)
      : own_device_(std::move(device)), own_context_(std::move(context)) {}

  bool init(std::int32_t source_width, std::int32_t source_height, std::int32_t target_width,
            std::int32_t target_height, std::int32_t fps) override {
    release();
    if (source_width <= 0 || source_height <= 0 || target_width <= 0 || target_height <= 0 ||
        target_width % 2 || target_height % 2) {
      return false;
    }
    source_width_ = source_width;
    source_height_ = source_height;
    target_width_ = target_width;
    target_height_ = target_height;
    fps_ = fps;
    // Set up for pictures in memory now, so that a processor the adapter cannot make fails
    // the set-up rather than every frame.
    return set_up_for_memory();
  }

  bool convert(const DesktopImage& source, Nv12Image& target) override {
    if (source_width_ == 0 || source.width != source_width_ ||
        source.height != source_height_) {
      return false;
    }
    if (source.on_adapter) {
      const auto* picture = dynamic_cast<const win32::D3d11Picture*>(source.on_adapter.get());
      if (!picture || !set_up_for(*picture)) return false;
    } else {
      if (!source.data() || source.stride < static_cast<std::size_t>(source.width) * 4 ||
          !set_up_for_memory()) {
        return false;
      }
      context_->UpdateSubresource(upload_.Get(), 0, nullptr, source.data(),
                                  static_cast<UINT>(source.stride), 0);
    }
    const std::size_t slot = slot_;
    if (!processor_.convert(slot)) return false;
    slot_ = (slot_ + 1) % kPoolSlots;
    if (source.on_adapter) {
      // The picture stays on the adapter: the encoder takes the slot's texture.
      target.width = target_width_;
      target.height = target_height_;
      target.on_adapter = pictures_[slot];
      return true;
    }
    target.on_adapter.reset();
    return read_back(slot, target);
  }

 private:
  // The source the processor is set up to read.
  struct Source {
    ID3D11Texture2D* texture = nullptr;  // null: the upload texture
    ID3D11Device* device = nullptr;
    DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
    bool operator==(const Source&) const = default;
  };

  bool set_up_for_memory() {
    const Source wanted{nullptr, own_device_.Get(), DXGI_MODE_ROTATION_IDENTITY};
    if (set_up_ && source_ == wanted) return true;
    return set_up(wanted, own_device_, own_context_, nullptr, source_width_, source_height_);
  }

  // The processor reads the capture's texture itself, on the texture's own device (the capture
  // may have moved to another adapter), turning it upright.
  bool set_up_for(const win32::D3d11Picture& picture) {
    ComPtr<ID3D11Device> device = win32::device_of(*picture.texture.Get());
    const Source wanted{picture.texture.Get(), device.Get(), picture.rotation};
    if (set_up_ && source_ == wanted) return true;
    D3D11_TEXTURE2D_DESC desc{};
    picture.texture->GetDesc(&desc);
    ComPtr<ID3D11DeviceContext> context;
    device->GetImmediateContext(&context);
    return set_up(wanted, device, context, picture.texture,
                  static_cast<std::int32_t>(desc.Width), static_cast<std::int32_t>(desc.Height));
  }

  bool set_up(const Source& wanted, ComPtr<ID3D11Device> device,
              ComPtr<ID3D11DeviceContext> context, ComPtr<ID3D11Texture2D> texture,
              std::int32_t width, std::int32_t height) {
    release_resources();
    device_ = std::move(device);
    context_ = std::move(context);
    if (!texture) {
      if (!make_texture(width, height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_USAGE_DEFAULT,
                        D3D11_BIND_RENDER_TARGET, 0, upload_)) {
        return false;
      }
      texture = upload_;
    }
    std::array<ID3D11Texture2D*, kPoolSlots> targets{};
    for (std::size_t i = 0; i < kPoolSlots; ++i) {
      if (!make_texture(target_width_, target_height_, DXGI_FORMAT_NV12, D3D11_USAGE_DEFAULT,
                        D3D11_BIND_RENDER_TARGET, 0, pool_[i])) {
        return false;
      }
      targets[i] = pool_[i].Get();
      pictures_[i] =
          std::make_shared<win32::D3d11Picture>(pool_[i], DXGI_MODE_ROTATION_IDENTITY);
    }
    win32::VideoProcessorSize size{width,          height, target_width_, target_height_, fps_,
                                   win32::upright_rotation(wanted.rotation)};
    if (!processor_.init(*device_.Get(), *context_.Get(), *texture.Get(), targets.data(),
                         targets.size(), size)) {
      return false;
    }
    source_texture_ = texture;  // kept alive while the processor's view refers to it
    source_ = wanted;
    set_up_ = true;
    return true;
  }

  // The finished slot into memory: the one read-back of a picture that came from memory.
  bool read_back(std::size_t slot, Nv12Image& target) {
    if (!readback_ && !make_texture(target_width_, target_height_, DXGI_FORMAT_NV12,
                                    D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, readback_)) {
      return false;
    }
    context_->CopyResource(readback_.Get(), pool_[slot].Get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(readback_.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return false;
    if (target.width != target_width_ || target.height != target_height_ ||
        target.data.size() < static_cast<std::size_t>(target_width_) * target_height_ * 3 / 2) {
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

  bool make_texture(std::int32_t width, std::int32_t height, DXGI_FORMAT format, D3D11_USAGE usage,
                    UINT bind, UINT cpu_access, ComPtr<ID3D11Texture2D>& out) {
    const D3D11_TEXTURE2D_DESC desc = win32::texture_description(
        static_cast<UINT>(width), static_cast<UINT>(height), format, usage, bind, cpu_access);
    return SUCCEEDED(device_->CreateTexture2D(&desc, nullptr, &out));
  }

  void release_resources() {
    processor_.release();
    readback_.Reset();
    for (auto& picture : pictures_) picture.reset();
    for (auto& texture : pool_) texture.Reset();
    upload_.Reset();
    source_texture_.Reset();
    source_ = {};
    set_up_ = false;
    slot_ = 0;
  }

  void release() {
    release_resources();
    source_width_ = source_height_ = target_width_ = target_height_ = 0;
  }

  ComPtr<ID3D11Device> own_device_;  // for pictures in memory
  ComPtr<ID3D11DeviceContext> own_context_;
  ComPtr<ID3D11Device> device_;  // of the current set-up
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11Texture2D> upload_;
  ComPtr<ID3D11Texture2D> source_texture_;
  std::array<ComPtr<ID3D11Texture2D>, kPoolSlots> pool_;
  // The pool's textures as pictures for the encoder. A slot is written again four conversions
  // later; the encoder copies what it keeps longer into surfaces of its own.
  std::array<std::shared_ptr<const win32::D3d11Picture>, kPoolSlots> pictures_;
  ComPtr<ID3D11Texture2D> readback_;
  win32::VideoProcessor processor_;
  Source source_;
  bool set_up_ = false;
  std::size_t slot_ = 0;
  std::int32_t source_width_ = 0;  // of the desktop, upright
  std::int32_t source_height_ = 0;
  std::int32_t target_width_ = 0;
  std::int32_t target_height_ = 0;
  std::int32_t fps_ = 1;
};

}  // namespace

std::unique_ptr<VideoConverter> make_video_converter() {
  // The device the capture shares, on the adapter that holds the desktop.
  win32::PrimaryOutput primary;
  IDXGIAdapter* adapter = win32::find_primary_output(primary) ? primary.adapter.Get() : nullptr;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  if (!win32::shared_video_device(adapter, device, context)) return nullptr;
  return std::make_unique<D3d11Converter>(std::move(device), std::move(context));
}

}  // namespace tolvi::platform
