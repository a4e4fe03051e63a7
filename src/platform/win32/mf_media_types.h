#pragma once
// Media Foundation descriptions of the encoder's streams and its codec settings: the pieces of
// the encoder backend that need no encoder.
#include <windows.h>
// windows.h first: the Media Foundation headers rely on it.
#include <mfapi.h>
#include <mfobjects.h>
#include <strmif.h>  // ICodecAPI
#include <wrl/client.h>

#include <cstdint>

#include "platform/encoder.h"

namespace tolvi::platform::win32 {

// MF_MT_* values of the colour description both streams carry.
constexpr UINT32 kPrimariesBt709 = 2;       // MFVideoPrimaries_BT709
constexpr UINT32 kMatrixBt709 = 1;          // MFVideoTransferMatrix_BT709
constexpr UINT32 kNominalRange16To235 = 2;  // MFNominalRange_16_235
constexpr UINT32 kTransferBt709 = 5;        // MFVideoTransFunc_709
constexpr UINT32 kProgressive = 2;          // MFVideoInterlace_Progressive

// The codec API's identifier of a setting.
const GUID& codec_setting_guid(CodecSetting setting);

// The VARIANT type the codec API takes a setting as: VT_BOOL for the low-latency switch
// (any value but 0 is VARIANT_TRUE), VT_UI4 for the others.
VARTYPE codec_setting_type(CodecSetting setting);

// Sets one setting as a value of its type; 0 when applied, else the failure code.
std::uint32_t set_codec_value(ICodecAPI& api, CodecSetting setting, std::uint32_t value);
// Asks for a key frame (CODECAPI_AVEncVideoForceKeyFrame = 1).
bool force_key_frame(ICodecAPI& api);

// A new output type: video, the codec's subtype, bit rate, size, frame rate, square pixels,
// progressive, the profile and the colour description.
HRESULT make_output_type(const OutputFormat& format, Microsoft::WRL::ComPtr<IMFMediaType>& type);
// Sets size, frame rate, square pixels, progressive and the colour description on `type`
// (an NV12 type the encoder offered, or a new one).
HRESULT describe_input(IMFMediaType& type, const InputFormat& format);

// Size and rate attributes: the first value in the high 32 bits, the second in the low ones.
constexpr UINT64 pack_pair(std::uint32_t high, std::uint32_t low) {
  return static_cast<UINT64>(high) << 32 | low;
}

}  // namespace tolvi::platform::win32
