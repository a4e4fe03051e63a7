// Encoders as Media Foundation transforms: hardware encoders (those of the capture adapter
// first, found by MFTEnum2 with that adapter's LUID, then the others) and the platform's
// software H.264 encoder. A hardware encoder that understands Direct3D 11 and sits on the
// capture adapter gets the capture's shared device through a DXGI device manager and takes
// frames as surfaces of it: a frame the converter left on the adapter is copied there into a
// surface of a sample allocator, which hands out only surfaces the encoder has released. The
// others take frames in memory (a frame on the adapter is read back once, here), in a small
// ring of buffers reused once the encoder let them go.
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
#include "platform/win32/d3d11_picture.h"
#include "platform/win32/encoder_listing.h"
#include "platform/win32/media_declarations.h"
#include "platform/win32/mf_media_types.h"

namespace tolvi::platform {

namespace {

using win32::ComPtr;

// MFT_OUTPUT_STREAM_INFO flags: the transform makes its own output samples.
constexpr DWORD kProvidesSamples =
    MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES;

// Input samples: allocated surfaces (at first, at most) and memory buffers in the ring. An
// asynchronous encoder may hold several frames; more than this many means it is stuck.
constexpr DWORD kFirstInputSurfaces = 4;
constexpr DWORD kMaxInputSurfaces = 16;
constexpr std::size_t kMaxMemoryInputs = 8;

// How many references `object` has: of a sample or buffer of ours, whether the encoder still
// holds it. The count Release returns is meant for diagnostics, but a COM object answers it
// exactly while the caller's own reference keeps it alive.
ULONG reference_count(IUnknown& object) {
  object.AddRef();
  return object.Release();
}

// MFTEnum2 where the system has it.
win32::MftEnum2Function mft_enum2() {
  static const win32::MftEnum2Function function = [] {
    const HMODULE mfplat = GetModuleHandleW(L"mfplat.dll");
    return mfplat ? reinterpret_cast<win32::MftEnum2Function>(
                        reinterpret_cast<void*>(GetProcAddress(mfplat, "MFTEnum2")))
                  : nullptr;
  }();
  return function;
}

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
  // `manager` only for an encoder on the device's adapter: an encoder elsewhere would read
  // every surface across adapters.
  MfTransform(ComPtr<IMFActivate> activate, ComPtr<IMFTransform> transform,
              ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
              ComPtr<IMFDXGIDeviceManager> manager, bool hardware)
      : activate_(std::move(activate)),
        transform_(std::move(transform)),
        device_(std::move(device)),
        context_(std::move(context)),
        manager_(manager) {
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
    if (!zero_copy_) manager_.Reset();
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
    if (allocator_) allocator_->UninitializeSampleAllocator();
    allocator_.Reset();
    memory_inputs_.clear();
    output_sample_.Reset();
    output_buffer_.Reset();
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
    ComPtr<IMFSample> sample;
    const HRESULT made = input_sample(frame, sample);
    if (made == MF_E_SAMPLEALLOCATOR_EMPTY || made == MF_E_NOTACCEPTING) {
      // Every input surface or buffer is still inside the encoder.
      return {TransformStatus::kNotAccepting, static_cast<std::uint32_t>(made)};
    }
    if (FAILED(made)) return {TransformStatus::kBufferFailed, static_cast<std::uint32_t>(made)};
    HRESULT hr = sample->SetSampleTime(time);
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
      // One output sample, made once and reused: the access unit is copied out of it before
      // the next attempt.
      const DWORD frame_bytes = static_cast<DWORD>(width_) * static_cast<DWORD>(height_) * 3 / 2;
      const DWORD wanted = std::max(info.cbSize, frame_bytes);
      DWORD capacity = 0;
      if (!output_buffer_ || FAILED(output_buffer_->GetMaxLength(&capacity)) ||
          capacity < wanted) {
        output_sample_.Reset();
        output_buffer_.Reset();
        if (FAILED(MFCreateSample(&output_sample_)) ||
            FAILED(MFCreateMemoryBuffer(wanted, &output_buffer_)) ||
            FAILED(output_sample_->AddBuffer(output_buffer_.Get()))) {
          output_sample_.Reset();
          output_buffer_.Reset();
        }
      }
      if (output_sample_) {
        output_buffer_->SetCurrentLength(0);
        output_sample_->DeleteAllItems();  // no clean-point flag left from the last unit
        own_sample = output_sample_;
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
  // The sample that carries `frame` to the encoder.
  HRESULT input_sample(const Nv12Image& frame, ComPtr<IMFSample>& sample) {
    const auto* picture = dynamic_cast<const win32::D3d11Picture*>(frame.on_adapter.get());
    if (picture && zero_copy_ && win32::device_of(*picture->texture.Get()).Get() == device_.Get()) {
      // Stays on the adapter: one copy into a surface the encoder has released.
      if (HRESULT hr = allocated_sample(sample); FAILED(hr)) return hr;
      ComPtr<ID3D11Texture2D> surface;
      if (HRESULT hr = surface_of(*sample.Get(), surface); FAILED(hr)) return hr;
      context_->CopyResource(surface.Get(), picture->texture.Get());
      return S_OK;
    }
    const auto bytes = static_cast<std::size_t>(frame.width) * frame.height * 3 / 2;
    if (!frame.on_adapter) {
      if (frame.data.size() < bytes) return E_INVALIDARG;
      if (zero_copy_) return uploaded_sample(frame, sample);
      return memory_sample(bytes, sample, [&](BYTE* data) {
        std::memcpy(data, frame.data.data(), bytes);
        return S_OK;
      });
    }
    // A software encoder, or one on another adapter: the one read-back into memory, straight
    // into the buffer the encoder gets.
    if (!picture) return E_INVALIDARG;
    if (!zero_copy_) {
      return memory_sample(bytes, sample, [&](BYTE* data) {
        return read_back(*picture->texture.Get(), frame.width, frame.height, data);
      });
    }
    if (read_back_frame_.width != frame.width || read_back_frame_.height != frame.height) {
      read_back_frame_.resize(frame.width, frame.height);
    }
    if (HRESULT hr = read_back(*picture->texture.Get(), frame.width, frame.height,
                               read_back_frame_.data.data());
        FAILED(hr)) {
      return hr;
    }
    return uploaded_sample(read_back_frame_, sample);
  }

  // A sample from the allocator on the encoder's device, which hands out only surfaces whose
  // earlier samples the encoder has released.
  HRESULT allocated_sample(ComPtr<IMFSample>& sample) {
    if (!allocator_) {
      ComPtr<IMFMediaType> type;
      ComPtr<IMFAttributes> attributes;
      HRESULT hr = MFCreateVideoSampleAllocatorEx(IID_PPV_ARGS(&allocator_));
      if (SUCCEEDED(hr)) hr = allocator_->SetDirectXManager(manager_.Get());
      if (SUCCEEDED(hr)) hr = MFCreateAttributes(&attributes, 2);
      if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_SA_D3D11_BINDFLAGS, D3D11_BIND_RENDER_TARGET);
      if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_SA_D3D11_USAGE, D3D11_USAGE_DEFAULT);
      if (SUCCEEDED(hr)) hr = transform_->GetInputCurrentType(input_id_, &type);
      if (SUCCEEDED(hr)) {
        hr = allocator_->InitializeSampleAllocatorEx(kFirstInputSurfaces, kMaxInputSurfaces,
                                                     attributes.Get(), type.Get());
      }
      if (FAILED(hr)) {
        allocator_.Reset();
        return hr;
      }
    }
    return allocator_->AllocateSample(&sample);
  }

  static HRESULT surface_of(IMFSample& sample, ComPtr<ID3D11Texture2D>& surface) {
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFDXGIBuffer> dxgi;
    HRESULT hr = sample.GetBufferByIndex(0, &buffer);
    if (SUCCEEDED(hr)) hr = buffer.As(&dxgi);
    if (SUCCEEDED(hr)) hr = dxgi->GetResource(IID_PPV_ARGS(&surface));
    return hr;
  }

  // A frame in memory to an encoder that takes surfaces: written into a staging texture and
  // copied on the adapter into an allocated surface.
  HRESULT uploaded_sample(const Nv12Image& frame, ComPtr<IMFSample>& sample) {
    if (!upload_) {
      const D3D11_TEXTURE2D_DESC desc = win32::texture_description(
          static_cast<UINT>(frame.width), static_cast<UINT>(frame.height), DXGI_FORMAT_NV12,
          D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_WRITE);
      if (HRESULT hr = device_->CreateTexture2D(&desc, nullptr, &upload_); FAILED(hr)) return hr;
    }
    if (HRESULT hr = allocated_sample(sample); FAILED(hr)) return hr;
    ComPtr<ID3D11Texture2D> surface;
    if (HRESULT hr = surface_of(*sample.Get(), surface); FAILED(hr)) return hr;
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
    context_->CopyResource(surface.Get(), upload_.Get());
    return S_OK;
  }

  // A frame to an encoder that takes memory: `fill` writes its `size` bytes into the first
  // buffer of the ring the encoder has let go of (a new one while there are fewer than the ring
  // holds).
  template <typename Fill>
  HRESULT memory_sample(std::size_t size, ComPtr<IMFSample>& sample, Fill&& fill) {
    const auto bytes = static_cast<DWORD>(size);
    MemoryInput* free_input = nullptr;
    for (MemoryInput& input : memory_inputs_) {
      // Let go of: the sample is referenced by the ring alone, its buffer by the ring and the
      // sample alone.
      if (reference_count(*input.sample.Get()) == 1 &&
          reference_count(*input.buffer.Get()) == 2) {
        free_input = &input;
        break;
      }
    }
    if (free_input) {
      DWORD capacity = 0;
      if (FAILED(free_input->buffer->GetMaxLength(&capacity)) || capacity < bytes) {
        free_input->buffer.Reset();
        free_input->sample->RemoveAllBuffers();
        if (HRESULT hr = MFCreateMemoryBuffer(bytes, &free_input->buffer); FAILED(hr)) return hr;
        if (HRESULT hr = free_input->sample->AddBuffer(free_input->buffer.Get()); FAILED(hr)) {
          return hr;
        }
      }
      free_input->sample->DeleteAllItems();
    } else {
      if (memory_inputs_.size() >= kMaxMemoryInputs) return MF_E_NOTACCEPTING;
      MemoryInput input;
      if (HRESULT hr = MFCreateSample(&input.sample); FAILED(hr)) return hr;
      if (HRESULT hr = MFCreateMemoryBuffer(bytes, &input.buffer); FAILED(hr)) return hr;
      if (HRESULT hr = input.sample->AddBuffer(input.buffer.Get()); FAILED(hr)) return hr;
      memory_inputs_.push_back(std::move(input));
      free_input = &memory_inputs_.back();
    }
    BYTE* data = nullptr;
    if (HRESULT hr = free_input->buffer->Lock(&data, nullptr, nullptr); FAILED(hr)) return hr;
    const HRESULT filled = fill(data);
    free_input->buffer->Unlock();
    if (FAILED(filled)) return filled;
    if (HRESULT hr = free_input->buffer->SetCurrentLength(bytes); FAILED(hr)) return hr;
    sample = free_input->sample;
    return S_OK;
  }

  // An NV12 texture into `target` (rows packed, the UV plane after the Y plane), through a
  // staging texture on the texture's device.
  HRESULT read_back(ID3D11Texture2D& texture, std::int32_t width, std::int32_t height,
                    std::uint8_t* target) {
    ComPtr<ID3D11Device> device = win32::device_of(texture);
    ComPtr<ID3D11DeviceContext> context;
    device->GetImmediateContext(&context);
    if (!read_back_staging_ || win32::device_of(*read_back_staging_.Get()).Get() != device.Get()) {
      read_back_staging_.Reset();
      const D3D11_TEXTURE2D_DESC desc = win32::texture_description(
          static_cast<UINT>(width), static_cast<UINT>(height), DXGI_FORMAT_NV12,
          D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
      if (HRESULT hr = device->CreateTexture2D(&desc, nullptr, &read_back_staging_); FAILED(hr)) {
        return hr;
      }
    }
    context->CopyResource(read_back_staging_.Get(), &texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (HRESULT hr = context->Map(read_back_staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped);
        FAILED(hr)) {
      return hr;
    }
    const auto row_bytes = static_cast<std::size_t>(width);
    const auto* base = static_cast<const std::uint8_t*>(mapped.pData);
    for (std::int32_t r = 0; r < height + height / 2; ++r) {
      std::memcpy(target + static_cast<std::size_t>(r) * row_bytes,
                  base + static_cast<std::size_t>(r) * mapped.RowPitch, row_bytes);
    }
    context->Unmap(read_back_staging_.Get(), 0);
    return S_OK;
  }

  struct MemoryInput {
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
  };

  ComPtr<IMFActivate> activate_;
  ComPtr<IMFTransform> transform_;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IMFAttributes> attributes_;
  ComPtr<ICodecAPI> codec_api_;
  ComPtr<IMFMediaEventGenerator> events_;
  ComPtr<IMFDXGIDeviceManager> manager_;  // set while the encoder takes surfaces
  ComPtr<IMFVideoSampleAllocatorEx> allocator_;
  ComPtr<ID3D11Texture2D> upload_;
  std::vector<MemoryInput> memory_inputs_;
  ComPtr<ID3D11Texture2D> read_back_staging_;
  Nv12Image read_back_frame_;  // for an encoder on another adapter than the picture
  ComPtr<IMFSample> output_sample_;
  ComPtr<IMFMediaBuffer> output_buffer_;
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
    adapter_luid_.LowPart = static_cast<DWORD>(adapter_ & 0xffffffffu);
    adapter_luid_.HighPart = static_cast<LONG>(adapter_ >> 32);
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
    // Hardware encoders of the capture adapter first (MFTEnum2 filters by adapter), then every
    // one; the second list repeats the first, whose encoders are not listed twice.
    std::vector<ComPtr<IMFActivate>> found;
    std::vector<std::optional<std::uint64_t>> adapters;
    win32::EncoderListing seen;
    const win32::MftEnum2Function enum2 = mft_enum2();
    bool listed = false;
    if (hardware && enum2 && adapter_ != 0) {
      ComPtr<IMFAttributes> filter;
      if (SUCCEEDED(MFCreateAttributes(&filter, 1)) &&
          SUCCEEDED(filter->SetBlob(win32::kMftEnumAdapterLuid,
                                    reinterpret_cast<const UINT8*>(&adapter_luid_),
                                    sizeof(adapter_luid_)))) {
        listed = collect(enum2, flags, input, output, filter.Get(), adapter_, found, adapters,
                         seen);
      }
    }
    if (enum2) {
      listed = collect(enum2, flags, input, output, nullptr, std::nullopt, found, adapters, seen) ||
               listed;
    } else {
      IMFActivate** list = nullptr;
      UINT32 count = 0;
      if (SUCCEEDED(MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, flags, &input, &output, &list, &count))) {
        listed = true;
        for (UINT32 i = 0; i < count; ++i) {
          ComPtr<IMFActivate> activate;
          activate.Attach(list[i]);
          found.push_back(std::move(activate));
          adapters.push_back(std::nullopt);  // MFTEnumEx does not say
        }
        CoTaskMemFree(list);
      }
    }
    if (!listed) return false;

    std::lock_guard guard(lock_);
    // Candidates of an earlier enumeration of the same kind are not used again.
    auto& previous = handles_[{codec, hardware}];
    for (std::uint32_t handle : previous) activates_.erase(handle);
    previous.clear();
    for (std::size_t i = 0; i < found.size(); ++i) {
      EncoderCandidate candidate;
      candidate.name = friendly_name(*found[i].Get());
      candidate.codec = codec;
      candidate.hardware = hardware;
      candidate.adapter_id = adapters[i];
      candidate.async = MFGetAttributeUINT32(found[i].Get(), MF_TRANSFORM_ASYNC, 0) != 0;
      candidate.handle = next_handle_++;
      activates_.emplace(candidate.handle, Entry{found[i], candidate.adapter_id});
      previous.push_back(candidate.handle);
      candidates.push_back(std::move(candidate));
    }
    return true;
  }

  std::unique_ptr<EncoderTransform> activate(const EncoderCandidate& candidate) override {
    ensure_com();
    Entry entry;
    {
      std::lock_guard guard(lock_);
      const auto it = activates_.find(candidate.handle);
      if (it == activates_.end()) return nullptr;
      entry = it->second;
    }
    ComPtr<IMFTransform> transform;
    if (FAILED(entry.activate->ActivateObject(IID_PPV_ARGS(&transform)))) return nullptr;
    // The device manager only for an encoder known to sit on the device's adapter.
    ComPtr<IMFDXGIDeviceManager> manager;
    if (win32::offer_capture_device(entry.adapter, adapter_)) manager = manager_;
    return std::make_unique<MfTransform>(std::move(entry.activate), std::move(transform), device_,
                                         context_, std::move(manager), candidate.hardware);
  }

 private:
  // One MFTEnum2 list appended to `found`, with each encoder's adapter: `filter_adapter` for a
  // list filtered by adapter, else what the encoder's activation object says. Encoders already
  // listed (class id and adapter) are skipped. False when the enumeration failed.
  static bool collect(win32::MftEnum2Function enum2, UINT32 flags,
                      const MFT_REGISTER_TYPE_INFO& input, const MFT_REGISTER_TYPE_INFO& output,
                      IMFAttributes* filter, std::optional<std::uint64_t> filter_adapter,
                      std::vector<ComPtr<IMFActivate>>& found,
                      std::vector<std::optional<std::uint64_t>>& adapters,
                      win32::EncoderListing& seen) {
    IMFActivate** list = nullptr;
    UINT32 count = 0;
    if (FAILED(enum2(MFT_CATEGORY_VIDEO_ENCODER, flags, &input, &output, filter, &list, &count))) {
      return false;
    }
    for (UINT32 i = 0; i < count; ++i) {
      ComPtr<IMFActivate> activate;
      activate.Attach(list[i]);
      const std::optional<std::uint64_t> adapter =
          filter_adapter ? filter_adapter : candidate_adapter(*activate.Get());
      GUID clsid{};
      activate->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &clsid);
      const std::string key(reinterpret_cast<const char*>(&clsid), sizeof(clsid));
      if (!seen.keep(key, adapter)) continue;
      found.push_back(std::move(activate));
      adapters.push_back(adapter);
    }
    CoTaskMemFree(list);
    return true;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IMFDXGIDeviceManager> manager_;
  std::uint64_t adapter_ = 0;
  LUID adapter_luid_{};
  std::mutex lock_;
  struct Entry {
    ComPtr<IMFActivate> activate;
    std::optional<std::uint64_t> adapter;
  };
  std::map<std::uint32_t, Entry> activates_;
  std::map<std::pair<VideoCodec, bool>, std::vector<std::uint32_t>> handles_;
  std::uint32_t next_handle_ = 1;
};

}  // namespace

std::unique_ptr<EncoderCatalogue> make_encoder_catalogue() {
  if (!media_foundation_started()) return nullptr;
  // The encoders' device is the one the capture and converter share, on the adapter that holds
  // the desktop, so that encoders there are preferred and surfaces stay on it.
  win32::PrimaryOutput primary;
  IDXGIAdapter* adapter = win32::find_primary_output(primary) ? primary.adapter.Get() : nullptr;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  if (!win32::shared_video_device(adapter, device, context)) device.Reset();
  return std::make_unique<MfEncoderCatalogue>(std::move(device), std::move(context));
}

}  // namespace tolvi::platform
