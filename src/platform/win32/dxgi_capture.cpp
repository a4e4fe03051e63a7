// Desktop capture through DXGI desktop duplication of the primary output. The desktop picture
// is copied on the adapter into a desktop texture of the device the converter and encoder
// share, and the caller's image shows it there: the picture never comes into memory. The
// image's size is the desktop rectangle's; a rotated monitor's texture lies as the monitor
// does, and the converter turns it upright.
#include <d3d11.h>
#include <dxgi1_6.h>
#include <windows.h>

#include <cstdio>

#include "platform/capture.h"
#include "platform/text.h"
#include "platform/win32/d3d11_device.h"
#include "platform/win32/d3d11_picture.h"
#include "platform/win32/duplication_choice.h"

namespace tolvi::platform {

namespace {

using win32::ComPtr;

std::string utf8(const std::wstring& text) {
  return to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

PlatformProblem problem_of(HRESULT hr) {
  return {static_cast<std::uint32_t>(hr), win32::duplication_error_meaning(hr)};
}

// Whether the output shows a high-dynamic-range desktop (the HDR10 colour space), where the
// platform can tell (IDXGIOutput6, Windows 10 1703 and later).
bool output_is_hdr(IDXGIOutput1& output) {
  ComPtr<IDXGIOutput6> output6;
  DXGI_OUTPUT_DESC1 desc{};
  return SUCCEEDED(output.QueryInterface(IID_PPV_ARGS(&output6))) &&
         SUCCEEDED(output6->GetDesc1(&desc)) &&
         desc.ColorSpace == DXGI_COLOR_SPACE_RGB_FULL_G2084_NONE_P2020;
}

class DxgiDuplication : public OutputDuplication {
 public:
  DxgiDuplication(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
                  ComPtr<IDXGIOutputDuplication> duplication, DesktopRect rect, bool hdr)
      : device_(std::move(device)),
        context_(std::move(context)),
        duplication_(std::move(duplication)),
        rect_(rect),
        hdr_(hdr) {
    DXGI_OUTDUPL_DESC desc{};
    duplication_->GetDesc(&desc);
    rotation_ = desc.Rotation;
    format_ = desc.ModeDesc.Format;
    in_system_memory_ = desc.DesktopImageInSystemMemory != FALSE;
  }

  ~DxgiDuplication() override { release_frame(); }

  DesktopRect desktop_rect() const override { return rect_; }

  AcquireResult acquire_next_frame(std::uint32_t timeout_ms) override {
    release_frame();
    AcquireResult result;
    DXGI_OUTDUPL_FRAME_INFO frame{};
    ComPtr<IDXGIResource> resource;
    const HRESULT hr = duplication_->AcquireNextFrame(timeout_ms, &frame, &resource);
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) {
      result.status = AcquireStatus::kTimeout;
      return result;
    }
    if (FAILED(hr)) {
      // A stale duplication (mode change, full-screen program, desktop switch) reports access
      // lost, or an invalid call once the output has gone away.
      const bool lost = hr == DXGI_ERROR_ACCESS_LOST || hr == DXGI_ERROR_INVALID_CALL;
      result.status = lost ? AcquireStatus::kAccessLost : AcquireStatus::kError;
      result.error_code = static_cast<std::uint32_t>(hr);
      return result;
    }
    acquired_ = true;
    resource_ = std::move(resource);
    result.status = AcquireStatus::kFrame;
    result.info.present = frame.LastPresentTime.QuadPart != 0;
    result.info.pointer_updated = frame.LastMouseUpdateTime.QuadPart != 0;
    result.info.pointer_visible = frame.PointerPosition.Visible != FALSE;
    result.info.pointer_x = rect_.left + frame.PointerPosition.Position.x;
    result.info.pointer_y = rect_.top + frame.PointerPosition.Position.y;
    result.info.pointer_shape_bytes = frame.PointerShapeBufferSize;
    return result;
  }

  bool get_pointer_shape(std::span<std::uint8_t> buffer, PointerShapeInfo& info) override {
    if (!acquired_) return false;
    DXGI_OUTDUPL_POINTER_SHAPE_INFO shape{};
    UINT required = 0;
    if (FAILED(duplication_->GetFramePointerShape(static_cast<UINT>(buffer.size()), buffer.data(),
                                                  &required, &shape))) {
      return false;
    }
    switch (shape.Type) {
      case DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME:
        info.type = PointerShapeType::kMonochrome;
        break;
      case DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR:
        info.type = PointerShapeType::kColor;
        break;
      default:
        info.type = PointerShapeType::kMaskedColor;
        break;
    }
    info.width = shape.Width;
    info.height = shape.Height;
    info.pitch = shape.Pitch;
    info.hot_x = shape.HotSpot.x;
    info.hot_y = shape.HotSpot.y;
    return true;
  }

  bool copy_frame_to(DesktopImage& image) override {
    if (!acquired_ || !resource_) return false;
    ComPtr<ID3D11Texture2D> frame;
    if (FAILED(resource_.As(&frame))) return false;
    D3D11_TEXTURE2D_DESC desc{};
    frame->GetDesc(&desc);
    format_ = desc.Format;
    copy_problem_ = {};
    // Four bytes B, G, R, A per pixel is what the image holds; a high-dynamic-range desktop
    // (16-bit floating-point surface) is not read as if it were.
    if (!win32::is_bgra(desc.Format)) {
      copy_problem_.meaning = "the duplicated surface is " +
                              win32::surface_format_name(desc.Format) +
                              ", not BGRA: the picture cannot be streamed (turn HDR off)";
      return false;
    }
    if (!ensure_desktop_texture(desc)) return false;
    // The duplicated surface is only lent until release_frame(): the desktop texture keeps the
    // picture for the converter, on the adapter.
    context_->CopyResource(desktop_.Get(), frame.Get());
    const bool quarter_turn =
        rotation_ == DXGI_MODE_ROTATION_ROTATE90 || rotation_ == DXGI_MODE_ROTATION_ROTATE270;
    const auto width = static_cast<std::int32_t>(quarter_turn ? desc.Height : desc.Width);
    const auto height = static_cast<std::int32_t>(quarter_turn ? desc.Width : desc.Height);
    image.show_on_adapter(picture_, width, height);
    return true;
  }

  void release_frame() override {
    resource_.Reset();
    if (acquired_) duplication_->ReleaseFrame();
    acquired_ = false;
  }

  PlatformProblem copy_problem() const override { return copy_problem_; }

  std::vector<std::string> facts() const override {
    char line[160];
    std::snprintf(line, sizeof(line), "surface: %s, rotated %d degrees, HDR %s%s",
                  win32::surface_format_name(format_).c_str(), win32::rotation_degrees(rotation_),
                  hdr_ ? "on" : "off",
                  in_system_memory_ ? ", desktop image in system memory" : "");
    return {line};
  }

 private:
  // The desktop texture: a copy of the duplicated surface on the adapter that the video
  // processor can read, remade when its size or format changes.
  bool ensure_desktop_texture(const D3D11_TEXTURE2D_DESC& frame) {
    if (desktop_) {
      D3D11_TEXTURE2D_DESC current{};
      desktop_->GetDesc(&current);
      if (current.Width == frame.Width && current.Height == frame.Height &&
          current.Format == frame.Format) {
        return true;
      }
      picture_.reset();
      desktop_.Reset();
    }
    const D3D11_TEXTURE2D_DESC desc =
        win32::texture_description(frame.Width, frame.Height, frame.Format, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_RENDER_TARGET);
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, &desktop_))) return false;
    picture_ = std::make_shared<win32::D3d11Picture>(desktop_, rotation_);
    return true;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IDXGIOutputDuplication> duplication_;
  DesktopRect rect_;
  DXGI_MODE_ROTATION rotation_ = DXGI_MODE_ROTATION_IDENTITY;  // of the output's monitor
  DXGI_FORMAT format_ = DXGI_FORMAT_UNKNOWN;
  bool hdr_ = false;
  bool in_system_memory_ = false;
  PlatformProblem copy_problem_;
  ComPtr<IDXGIResource> resource_;
  ComPtr<ID3D11Texture2D> desktop_;
  std::shared_ptr<const win32::D3d11Picture> picture_;
  bool acquired_ = false;
};

class DxgiCaptureDevice : public CaptureDevice {
 public:
  DxgiCaptureDevice(win32::PrimaryOutput primary, ComPtr<ID3D11Device> device,
                    ComPtr<ID3D11DeviceContext> context)
      : primary_(std::move(primary)), device_(std::move(device)), context_(std::move(context)) {}

  std::string output_name() const override { return utf8(primary_.facts.device_name); }

  std::unique_ptr<OutputDuplication> open_duplication() override {
    problem_ = {};
    ComPtr<IDXGIOutputDuplication> duplication;
    HRESULT hr = primary_.output->DuplicateOutput(device_.Get(), &duplication);
    if (hr == DXGI_ERROR_UNSUPPORTED) hr = duplicate_elsewhere(duplication);
    if (FAILED(hr)) {
      problem_ = problem_of(hr);
      return nullptr;
    }
    // The output may have moved since the device was chosen (a mode change is the usual reason
    // to reopen): read its place now.
    DXGI_OUTPUT_DESC desc{};
    if (hr = primary_.output->GetDesc(&desc); FAILED(hr)) {
      problem_ = problem_of(hr);
      return nullptr;
    }
    const RECT& r = desc.DesktopCoordinates;
    return std::make_unique<DxgiDuplication>(device_, context_, std::move(duplication),
                                             DesktopRect{r.left, r.top, r.right, r.bottom},
                                             output_is_hdr(*primary_.output.Get()));
  }

  PlatformProblem open_problem() const override { return problem_; }

  bool lost() const override { return FAILED(device_->GetDeviceRemovedReason()); }

  std::vector<std::string> facts() const override {
    DXGI_ADAPTER_DESC1 desc{};
    primary_.adapter->GetDesc1(&desc);
    char line[320];
    std::snprintf(line, sizeof(line), "capture adapter %u: %s (LUID %016llx), output %u",
                  primary_.facts.adapter_index, utf8(desc.Description).c_str(),
                  static_cast<unsigned long long>(win32::luid_value(desc.AdapterLuid)),
                  primary_.facts.output_index);
    return {line};
  }

 private:
  // The same monitor through another adapter: a device there and a duplication of its output.
  // On success the capture device moves to that adapter for good.
  HRESULT duplicate_elsewhere(ComPtr<IDXGIOutputDuplication>& duplication) {
    ComPtr<IDXGIFactory1> factory;
    if (FAILED(CreateDXGIFactory1(IID_PPV_ARGS(&factory)))) return DXGI_ERROR_UNSUPPORTED;
    struct Candidate {
      ComPtr<IDXGIAdapter1> adapter;
      ComPtr<IDXGIOutput1> output;
    };
    std::vector<win32::OutputFacts> outputs;
    std::vector<Candidate> objects;
    win32::for_each_output(
        *factory.Get(), [&](IDXGIAdapter1& adapter, IDXGIOutput* output,
                            const win32::OutputFacts& facts) {
          ComPtr<IDXGIOutput1> output1;
          if (output && SUCCEEDED(output->QueryInterface(IID_PPV_ARGS(&output1)))) {
            outputs.push_back(facts);
            objects.push_back({&adapter, output1});
          }
          return true;
        });
    const std::vector<win32::OutputFacts> elsewhere =
        win32::same_monitor_elsewhere(outputs, primary_.facts);
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    Candidate used;
    win32::OutputFacts opened;
    const HRESULT hr = win32::open_with_fallback(
        primary_.facts, elsewhere,
        [&](const win32::OutputFacts& facts) -> HRESULT {
          if (facts.adapter_index == primary_.facts.adapter_index) return DXGI_ERROR_UNSUPPORTED;
          for (std::size_t i = 0; i < outputs.size(); ++i) {
            if (outputs[i].adapter_index != facts.adapter_index ||
                outputs[i].output_index != facts.output_index) {
              continue;
            }
            if (!win32::shared_video_device(objects[i].adapter.Get(), device, context)) {
              return DXGI_ERROR_UNSUPPORTED;
            }
            used = objects[i];
            return objects[i].output->DuplicateOutput(device.Get(), &duplication);
          }
          return DXGI_ERROR_UNSUPPORTED;
        },
        opened);
    if (SUCCEEDED(hr)) {
      primary_.adapter = used.adapter;
      primary_.output = used.output;
      primary_.facts = opened;
      device_ = std::move(device);
      context_ = std::move(context);
    }
    return hr;
  }

  win32::PrimaryOutput primary_;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  PlatformProblem problem_;
};

}  // namespace

// Every Windows desktop is duplicated the same way.
std::string desktop_support_problem() { return {}; }

std::unique_ptr<CaptureDevice> make_capture_device(const std::string&) {
  win32::PrimaryOutput primary;
  if (!win32::find_primary_output(primary)) return nullptr;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  if (!win32::shared_video_device(primary.adapter.Get(), device, context)) return nullptr;
  return std::make_unique<DxgiCaptureDevice>(std::move(primary), std::move(device),
                                             std::move(context));
}

}  // namespace tolvi::platform
