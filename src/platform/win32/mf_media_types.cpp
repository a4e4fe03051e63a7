#include "platform/win32/mf_media_types.h"

#include <codecapi.h>
#include <oleauto.h>

namespace tolvi::platform::win32 {

namespace {

// codecapi.h names these through __uuidof, which GCC cannot resolve; its STATIC_ forms carry
// the values.
constexpr GUID kRateControlMode = {STATIC_CODECAPI_AVEncCommonRateControlMode};
constexpr GUID kLowLatencyMode = {STATIC_CODECAPI_AVLowLatencyMode};
constexpr GUID kMeanBitRate = {STATIC_CODECAPI_AVEncCommonMeanBitRate};
constexpr GUID kMaxBitRate = {STATIC_CODECAPI_AVEncCommonMaxBitRate};
constexpr GUID kGopSize = {STATIC_CODECAPI_AVEncMPVGOPSize};
constexpr GUID kBPictureCount = {STATIC_CODECAPI_AVEncMPVDefaultBPictureCount};
constexpr GUID kQualityVsSpeed = {STATIC_CODECAPI_AVEncCommonQualityVsSpeed};
constexpr GUID kForceKeyFrame = {STATIC_CODECAPI_AVEncVideoForceKeyFrame};

std::uint32_t set_variant(ICodecAPI& api, const GUID& setting, VARIANT& v) {
  const HRESULT hr = api.SetValue(&setting, &v);
  return SUCCEEDED(hr) ? 0 : static_cast<std::uint32_t>(hr);
}

std::uint32_t set_ui4(ICodecAPI& api, const GUID& setting, std::uint32_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI4;
  v.ulVal = value;
  return set_variant(api, setting, v);
}

// The colour description and geometry both stream types share.
HRESULT describe_picture(IMFMediaType& type, std::int32_t width, std::int32_t height,
                         std::int32_t fps) {
  const struct {
    const GUID& key;
    UINT64 value;
  } pairs[] = {
      {MF_MT_FRAME_SIZE,
       pack_pair(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height))},
      {MF_MT_FRAME_RATE, pack_pair(static_cast<std::uint32_t>(fps), 1)},
      {MF_MT_PIXEL_ASPECT_RATIO, pack_pair(1, 1)},
  };
  for (const auto& pair : pairs) {
    if (const HRESULT hr = type.SetUINT64(pair.key, pair.value); FAILED(hr)) return hr;
  }
  const struct {
    const GUID& key;
    UINT32 value;
  } values[] = {
      {MF_MT_INTERLACE_MODE, kProgressive},      {MF_MT_VIDEO_PRIMARIES, kPrimariesBt709},
      {MF_MT_YUV_MATRIX, kMatrixBt709},          {MF_MT_VIDEO_NOMINAL_RANGE, kNominalRange16To235},
      {MF_MT_TRANSFER_FUNCTION, kTransferBt709},
  };
  for (const auto& value : values) {
    if (const HRESULT hr = type.SetUINT32(value.key, value.value); FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

const GUID& codec_setting_guid(CodecSetting setting) {
  switch (setting) {
    case CodecSetting::kRateControlMode:
      return kRateControlMode;
    case CodecSetting::kLowLatencyMode:
      return kLowLatencyMode;
    case CodecSetting::kMeanBitRate:
      return kMeanBitRate;
    case CodecSetting::kMaxBitRate:
      return kMaxBitRate;
    case CodecSetting::kGopSize:
      return kGopSize;
    case CodecSetting::kBPictureCount:
      return kBPictureCount;
    case CodecSetting::kQualityVsSpeed:
      return kQualityVsSpeed;
  }
  return GUID_NULL;
}

VARTYPE codec_setting_type(CodecSetting setting) {
  // The low-latency switch is a Boolean to the codec API; encoders that check the type refuse
  // it as a number.
  return setting == CodecSetting::kLowLatencyMode ? VT_BOOL : VT_UI4;
}

std::uint32_t set_codec_value(ICodecAPI& api, CodecSetting setting, std::uint32_t value) {
  if (codec_setting_type(setting) == VT_BOOL) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return set_variant(api, codec_setting_guid(setting), v);
  }
  return set_ui4(api, codec_setting_guid(setting), value);
}

bool force_key_frame(ICodecAPI& api) { return set_ui4(api, kForceKeyFrame, 1) == 0; }

HRESULT make_output_type(const OutputFormat& format, Microsoft::WRL::ComPtr<IMFMediaType>& type) {
  type.Reset();
  if (const HRESULT hr = MFCreateMediaType(&type); FAILED(hr)) return hr;
  const GUID& subtype = format.codec == VideoCodec::kHevc ? MFVideoFormat_HEVC : MFVideoFormat_H264;
  HRESULT hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AVG_BITRATE, format.bit_rate);
  if (SUCCEEDED(hr)) hr = describe_picture(*type.Get(), format.width, format.height, format.fps);
  if (SUCCEEDED(hr)) {
    hr = type->SetUINT32(MF_MT_MPEG2_PROFILE, static_cast<UINT32>(format.profile));
  }
  if (FAILED(hr)) type.Reset();
  return hr;
}

HRESULT describe_input(IMFMediaType& type, const InputFormat& format) {
  return describe_picture(type, format.width, format.height, format.fps);
}

}  // namespace tolvi::platform::win32
