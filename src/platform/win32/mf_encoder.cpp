// Encoders as Media Foundation transforms: hardware encoders (with their adapter, for the
// caller's preference) and the platform's software H.264 encoder, found by MFTEnumEx. Hardware
// encoders that understand Direct3D 11 take frames as DXGI surfaces on a device shared through
// a DXGI device manager; the others take them from memory.
#include <windows.h>
// windows.h first: the Media Foundation headers rely on it.
#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>  // ICodecAPI

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/encoder.h"
#include "platform/text.h"
#include "platform/win32/d3d11_device.h"
#include "platform/win32/media_declarations.h"
#include "platform/win32/mf_media_types.h"

namespace tolvi::platform {

namespace {

using win32::ComPtr;

// MFT_OUTPUT_STREAM_INFO flags: the transform makes its own output samples.
constexpr DWORD kProvidesSamples =
    MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES;

// COM on the calling thread for as long as the thread lives: encoders are activated and fed on
// the capture loop's thread and, for asynchronous ones, drained on their event thread.
void ensure_com() {
  struct Apartment {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ~Apartment() {
      if (SUCCEEDED(hr)) CoUninitialize();
    }
  };
  thread_local Apartment apartment;
}

// Media Foundation started once per process, for the process's life.
bool media_foundation_started() {
  static const bool started = [] {
    ensure_com();
    return SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET));
  }();
  return started;
}

std::string friendly_name(IMFActivate& activate) {
  WCHAR* name = nullptr;
  UINT32 length = 0;
  if (FAILED(activate.GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &length)) || !name) {
    return {};
  }
  std::string utf8 = to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(name), length));
  CoTaskMemFree(name);
  // At most 256 bytes, cut before a whole character rather than inside one.
  constexpr std::size_t kMaxNameBytes = 256;
  if (utf8.size() > kMaxNameBytes) {
    std::size_t cut = kMaxNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    utf8.resize(cut);
  }
  return utf8;
}

std::optional<std::uint64_t> candidate_adapter(IMFActivate& activate) {
  LUID luid{};
  UINT32 size = 0;
  if (FAILED(activate.GetBlob(win32::kMftEnumAdapterLuid, reinterpret_cast<UINT8*>(&luid),
                              sizeof(luid), &size)) ||
      size != sizeof(luid)) {
    return std::nullopt;
  }
  return win32::luid_value(luid);
}

TransformStatus status_of(HRESULT hr) {
  if (SUCCEEDED(hr)) return TransformStatus::kOk;
  switch (hr) {
    case MF_E_NOTACCEPTING:
      return TransformStatus::kNotAccepting;
    case MF_E_TRANSFORM_NEED_MORE_INPUT:
      return TransformStatus::kNeedMoreInput;
    case MF_E_TRANSFORM_STREAM_CHANGE:
      return TransformStatus::kStreamChange;
    default:
      return TransformStatus::kError;
  }
}

class MfTransform : public EncoderTransform {
 public:
  MfTransform(ComPtr<IMFActivate> activate, ComPtr<IMFTransform> transform,
              ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
              ComPtr<IMFDXGIDeviceManager> manager, bool hardware)
      : activate_(std::move(activate)),
        transform_(std::move(transform)),
        device_(std::move(device)),
        context_(std::move(context)) {
    ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(transform_->GetAttributes(&attributes)) && attributes) {
      attributes_ = attributes;
      if (MFGetAttributeUINT32(attributes.Get(), MF_TRANSFORM_ASYNC, 0) != 0) {
        async_ = true;
        attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, TRUE);
      }
    }
    zero_copy_ = hardware && manager && attributes_ &&
                 MFGetAttributeUINT32(attributes_.Get(), MF_SA_D3D11_AWARE, 0) != 0 &&
                 SUCCEEDED(transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER,
                                                      reinterpret_cast<ULONG_PTR>(manager.Get())));
    DWORD input = 0;
    DWORD output = 0;
    if (SUCCEEDED(transform_->GetStreamIDs(1, &input, 1, &output))) {
      input_id_ = input;
      output_id_ = output;
    }
    transform_->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codec_api_.GetAddressOf()));
    if (async_) transform_.As(&events_);
  }

  ~MfTransform() override {
    events_.Reset();
    codec_api_.Reset();
    attributes_.Reset();
    transform_.Reset();
    // A candidate that never streamed was rejected: let its activation object free it.
    if (!streaming_ && activate_) activate_->ShutdownObject();
  }

  bool is_async() const override { return async_; }
  bool zero_copy() const override { return zero_copy_; }
  bool has_codec_api() const override { return codec_api_ != nullptr; }

  void set_low_latency() override {
    if (attributes_) attributes_->SetUINT32(MF_LOW_LATENCY, TRUE);
  }

  std::uint32_t set_value(CodecSetting setting, std::uint32_t value) override {
    if (!codec_api_) return static_cast<std::uint32_t>(E_NOINTERFACE);
    return win32::set_codec_value(*codec_api_.Get(), setting, value);
  }

  bool set_output_format(const OutputFormat& format) override {
    width_ = format.width;
    height_ = format.height;
    ComPtr<IMFMediaType> type;
    return SUCCEEDED(win32::make_output_type(format, type)) &&
           SUCCEEDED(transform_->SetOutputType(output_id_, type.Get(), 0));
  }

  bool set_input_format(const InputFormat& format) override {
    width_ = format.width;
    height_ = format.height;
    ComPtr<IMFMediaType> chosen;
    for (DWORD i = 0;; ++i) {
      ComPtr<IMFMediaType> offered;
      if (FAILED(transform_->GetInputAvailableType(input_id_, i, &offered))) break;
      GUID subtype{};
      if (SUCCEEDED(offered->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFVideoFormat_NV12) {
        chosen = offered;
        break;
      }
    }
    if (!chosen) {
      if (FAILED(MFCreateMediaType(&chosen)) ||
          FAILED(chosen->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video)) ||
          FAILED(chosen->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12))) {
        return false;
      }
    }
    return SUCCEEDED(win32::describe_input(*chosen.Get(), format)) &&
           SUCCEEDED(transform_->SetInputType(input_id_, chosen.Get(), 0));
  }

  std::vector<std::uint8_t> sequence_header() override {
    ComPtr<IMFMediaType> current;
    UINT32 size = 0;
    if (FAILED(transform_->GetOutputCurrentType(output_id_, &current)) ||
        FAILED(current->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &size)) || size == 0) {
      return {};
    }
    std::vector<std::uint8_t> header(size);
    if (FAILED(current->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header.data(), size, &size))) {
      return {};
    }
    header.resize(size);
    return header;
  }

  bool prepare_upload() override {
    // Frames arrive in memory and go into memory buffers; nothing to prepare.
    return true;
  }

  void begin_streaming() override {
    streaming_ = true;
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  }

  bool force_keyframe() override { return codec_api_ && win32::force_key_frame(*codec_api_.Get()); }

  TransformResult process_input(const Nv12Image& frame, std::int64_t time,
                                std::int64_t duration) override {
    ComPtr<IMFMediaBuffer> buffer;
    const HRESULT made = zero_copy_ ? surface_buffer(frame, buffer) : memory_buffer(frame, buffer);
    if (FAILED(made)) return {TransformStatus::kBufferFailed, static_cast<std::uint32_t>(made)};
    ComPtr<IMFSample> sample;
    HRESULT hr = MFCreateSample(&sample);
    if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
    if (SUCCEEDED(hr)) hr = sample->SetSampleTime(time);
    if (SUCCEEDED(hr)) hr = sample->SetSampleDuration(duration);
    if (SUCCEEDED(hr)) hr = transform_->ProcessInput(input_id_, sample.Get(), 0);
    return {status_of(hr), SUCCEEDED(hr) ? 0 : static_cast<std::uint32_t>(hr)};
  }

  EncodedOutput process_output() override {
    EncodedOutput result;
    MFT_OUTPUT_STREAM_INFO info{};
    ComPtr<IMFSample> own_sample;
    if (SUCCEEDED(transform_->GetOutputStreamInfo(output_id_, &info)) &&
        !(info.dwFlags & kProvidesSamples)) {
      const DWORD frame_bytes = static_cast<DWORD>(width_) * static_cast<DWORD>(height_) * 3 / 2;
      ComPtr<IMFMediaBuffer> buffer;
      if (FAILED(MFCreateSample(&own_sample)) ||
          FAILED(MFCreateMemoryBuffer(std::max(info.cbSize, frame_bytes), &buffer)) ||
          FAILED(own_sample->AddBuffer(buffer.Get()))) {
        own_sample.Reset();
      }
    }
    MFT_OUTPUT_DATA_BUFFER output{};
    output.dwStreamID = output_id_;
    output.pSample = own_sample.Get();
    DWORD status = 0;
    const HRESULT hr = transform_->ProcessOutput(0, 1, &output, &status);
    if (output.pEvents) output.pEvents->Release();
    // A sample the transform provided is ours to release.
    ComPtr<IMFSample> sample;
    if (output.pSample && output.pSample != own_sample.Get()) {
      sample.Attach(output.pSample);
    } else {
      sample = own_sample;
    }
    result.status = status_of(hr);
    result.code = SUCCEEDED(hr) ? 0 : static_cast<std::uint32_t>(hr);
    if (FAILED(hr) || !sample) return result;

    ComPtr<IMFMediaBuffer> contiguous;
    BYTE* data = nullptr;
    DWORD length = 0;
    if (SUCCEEDED(sample->ConvertToContiguousBuffer(&contiguous)) &&
        SUCCEEDED(contiguous->Lock(&data, nullptr, &length))) {
      output_.assign(data, data + length);
      contiguous->Unlock();
      result.readable = true;
      result.data = output_;
    }
    result.clean_point = MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0) != 0;
    LONGLONG time = 0;
    if (SUCCEEDED(sample->GetSampleTime(&time))) result.time = time;
    return result;
  }

  bool accept_output_change() override {
    ComPtr<IMFMediaType> type;
    return SUCCEEDED(transform_->GetOutputAvailableType(output_id_, 0, &type)) &&
           SUCCEEDED(transform_->SetOutputType(output_id_, type.Get(), 0));
  }

  TransformEvent wait_event() override {
    if (!events_) return TransformEvent::kFailed;
    ensure_com();
    ComPtr<IMFMediaEvent> event;
    if (FAILED(events_->GetEvent(0, &event))) return TransformEvent::kFailed;
    MediaEventType type = MEUnknown;
    if (FAILED(event->GetType(&type))) return TransformEvent::kOther;
    switch (type) {
      case METransformNeedInput:
        return TransformEvent::kNeedInput;
      case METransformHaveOutput:
        return TransformEvent::kHaveOutput;
      case METransformDrainComplete:
        return TransformEvent::kDrainComplete;
      default:
        return TransformEvent::kOther;
    }
  }

  void end_of_stream_and_flush() override {
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
    transform_->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
  }

  void interrupt_events() override {
    // Shutting an asynchronous transform down ends the event thread's wait.
    ComPtr<IMFShutdown> shutdown;
    if (SUCCEEDED(transform_.As(&shutdown))) shutdown->Shutdown();
  }

  void end_streaming() override { transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0); }

 private:
  // Copies the frame into a memory buffer: Y plane, then the UV plane, rows packed.
  HRESULT memory_buffer(const Nv12Image& frame, ComPtr<IMFMediaBuffer>& buffer) {
    const auto bytes = static_cast<DWORD>(frame.data.size());
    HRESULT hr = MFCreateMemoryBuffer(bytes, &buffer);
    BYTE* data = nullptr;
    if (SUCCEEDED(hr)) hr = buffer->Lock(&data, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    std::memcpy(data, frame.data.data(), bytes);
    buffer->Unlock();
    return buffer->SetCurrentLength(bytes);
  }

  // Uploads the frame into the next NV12 surface on the encoder's device (through a writable
  // staging texture) and wraps that surface as a DXGI surface buffer.
  HRESULT surface_buffer(const Nv12Image& frame, ComPtr<IMFMediaBuffer>& buffer) {
    if (HRESULT hr = ensure_textures(frame.width, frame.height); FAILED(hr)) return hr;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (HRESULT hr = context_->Map(upload_.Get(), 0, D3D11_MAP_WRITE, 0, &mapped); FAILED(hr)) {
      return hr;
    }
    const auto width = static_cast<std::size_t>(frame.width);
    auto* target = static_cast<std::uint8_t*>(mapped.pData);
    for (std::int32_t r = 0; r < frame.height + frame.height / 2; ++r) {
      std::memcpy(target + static_cast<std::size_t>(r) * mapped.RowPitch,
                  frame.data.data() + static_cast<std::size_t>(r) * width, width);
    }
    context_->Unmap(upload_.Get(), 0);
    ID3D11Texture2D* surface = surfaces_[next_surface_].Get();
    next_surface_ = (next_surface_ + 1) % surfaces_.size();
    context_->CopyResource(surface, upload_.Get());
    HRESULT hr = MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), surface, 0, FALSE, &buffer);
    if (FAILED(hr)) return hr;
    ComPtr<IMF2DBuffer> two_d;
    DWORD length = 0;
    if (SUCCEEDED(buffer.As(&two_d)) && SUCCEEDED(two_d->GetContiguousLength(&length))) {
      buffer->SetCurrentLength(length);
    }
    return S_OK;
  }

  HRESULT ensure_textures(std::int32_t width, std::int32_t height) {
    if (upload_) return S_OK;
    D3D11_TEXTURE2D_DESC desc =
        win32::texture_description(static_cast<UINT>(width), static_cast<UINT>(height),
                                   DXGI_FORMAT_NV12, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET);
    for (auto& surface : surfaces_) {
      if (HRESULT hr = device_->CreateTexture2D(&desc, nullptr, &surface); FAILED(hr)) return hr;
    }
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    return device_->CreateTexture2D(&desc, nullptr, &upload_);
  }

  ComPtr<IMFActivate> activate_;
  ComPtr<IMFTransform> transform_;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IMFAttributes> attributes_;
  ComPtr<ICodecAPI> codec_api_;
  ComPtr<IMFMediaEventGenerator> events_;
  ComPtr<ID3D11Texture2D> upload_;
  // Frames in flight inside the encoder keep their surface: four are rotated, as the
  // conversion rotates its targets.
  std::array<ComPtr<ID3D11Texture2D>, 4> surfaces_;
  std::size_t next_surface_ = 0;
  std::vector<std::uint8_t> output_;
  DWORD input_id_ = 0;
  DWORD output_id_ = 0;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  bool async_ = false;
  bool zero_copy_ = false;
  bool streaming_ = false;
};

class MfEncoderCatalogue : public EncoderCatalogue {
 public:
  MfEncoderCatalogue(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context)
      : device_(std::move(device)), context_(std::move(context)) {
    if (device_) adapter_ = win32::adapter_luid(*device_.Get());
    // Without a device manager no encoder gets surfaces: they all take frames from memory.
    UINT token = 0;
    if (device_ && SUCCEEDED(MFCreateDXGIDeviceManager(&token, &manager_)) &&
        FAILED(manager_->ResetDevice(device_.Get(), token))) {
      manager_.Reset();
    }
  }

  std::optional<std::uint64_t> capture_adapter_id() const override {
    if (adapter_ == 0) return std::nullopt;
    return adapter_;
  }

  bool enumerate(VideoCodec codec, bool hardware,
                 std::vector<EncoderCandidate>& candidates) override {
    ensure_com();
    const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
    const MFT_REGISTER_TYPE_INFO output{
        MFMediaType_Video, codec == VideoCodec::kHevc ? MFVideoFormat_HEVC : MFVideoFormat_H264};
    const UINT32 flags =
        (hardware ? MFT_ENUM_FLAG_HARDWARE : MFT_ENUM_FLAG_SYNCMFT) | MFT_ENUM_FLAG_SORTANDFILTER;
    IMFActivate** found = nullptr;
    UINT32 count = 0;
    if (FAILED(MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, flags, &input, &output, &found, &count))) {
      return false;
    }
    std::lock_guard guard(lock_);
    // Candidates of an earlier enumeration of the same kind are not used again.
    auto& previous = handles_[{codec, hardware}];
    for (std::uint32_t handle : previous) activates_.erase(handle);
    previous.clear();
    for (UINT32 i = 0; i < count; ++i) {
      ComPtr<IMFActivate> activate;
      activate.Attach(found[i]);
      EncoderCandidate candidate;
      candidate.name = friendly_name(*activate.Get());
      candidate.codec = codec;
      candidate.hardware = hardware;
      candidate.adapter_id = candidate_adapter(*activate.Get());
      candidate.async = MFGetAttributeUINT32(activate.Get(), MF_TRANSFORM_ASYNC, 0) != 0;
      candidate.handle = next_handle_++;
      activates_.emplace(candidate.handle, std::move(activate));
      previous.push_back(candidate.handle);
      candidates.push_back(std::move(candidate));
    }
    CoTaskMemFree(found);
    return true;
  }

  std::unique_ptr<EncoderTransform> activate(const EncoderCandidate& candidate) override {
    ensure_com();
    ComPtr<IMFActivate> activate;
    {
      std::lock_guard guard(lock_);
      const auto it = activates_.find(candidate.handle);
      if (it == activates_.end()) return nullptr;
      activate = it->second;
    }
    ComPtr<IMFTransform> transform;
    if (FAILED(activate->ActivateObject(IID_PPV_ARGS(&transform)))) return nullptr;
    return std::make_unique<MfTransform>(std::move(activate), std::move(transform), device_,
                                         context_, manager_, candidate.hardware);
  }

 private:
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IMFDXGIDeviceManager> manager_;
  std::uint64_t adapter_ = 0;
  std::mutex lock_;
  std::map<std::uint32_t, ComPtr<IMFActivate>> activates_;
  std::map<std::pair<VideoCodec, bool>, std::vector<std::uint32_t>> handles_;
  std::uint32_t next_handle_ = 1;
};

}  // namespace

std::unique_ptr<EncoderCatalogue> make_encoder_catalogue() {
  if (!media_foundation_started()) return nullptr;
  // The encoders' device sits on the adapter that holds the desktop, so that encoders there
  // are preferred and surfaces stay on one adapter.
  win32::PrimaryOutput primary;
  IDXGIAdapter* adapter = win32::find_primary_output(primary) ? primary.adapter.Get() : nullptr;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  if (!win32::create_video_device(adapter, device, context)) device.Reset();
  return std::make_unique<MfEncoderCatalogue>(std::move(device), std::move(context));
}

}  // namespace tolvi::platform
