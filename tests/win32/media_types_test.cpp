// The encoder backend's stream descriptions and codec settings, and the video processor's
// colour-space bits: what the Media Foundation and Direct3D pieces hand to the platform,
// checked without an encoder or a graphics adapter.
#include <gtest/gtest.h>

#include <vector>

#include "platform/win32/d3d11_picture.h"
#include "platform/win32/mf_media_types.h"
#include "platform/win32/video_processor.h"

namespace tolvi::platform::win32 {
namespace {

using Microsoft::WRL::ComPtr;

class MediaFoundation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_TRUE(SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET)));
  }
  static void TearDownTestSuite() {
    MFShutdown();
    CoUninitialize();
  }
};

UINT32 uint32_of(IMFMediaType& type, const GUID& key) {
  UINT32 value = 0xdeadbeef;
  EXPECT_TRUE(SUCCEEDED(type.GetUINT32(key, &value)));
  return value;
}

UINT64 uint64_of(IMFMediaType& type, const GUID& key) {
  UINT64 value = 0;
  EXPECT_TRUE(SUCCEEDED(type.GetUINT64(key, &value)));
  return value;
}

void expect_picture(IMFMediaType& type, std::uint64_t size, std::uint64_t rate) {
  EXPECT_EQ(uint64_of(type, MF_MT_FRAME_SIZE), size);
  EXPECT_EQ(uint64_of(type, MF_MT_FRAME_RATE), rate);
  EXPECT_EQ(uint64_of(type, MF_MT_PIXEL_ASPECT_RATIO), (1ULL << 32) | 1);
  EXPECT_EQ(uint32_of(type, MF_MT_INTERLACE_MODE), 2u);
  EXPECT_EQ(uint32_of(type, MF_MT_VIDEO_PRIMARIES), 2u);
  EXPECT_EQ(uint32_of(type, MF_MT_YUV_MATRIX), 1u);
  EXPECT_EQ(uint32_of(type, MF_MT_VIDEO_NOMINAL_RANGE), 2u);
  EXPECT_EQ(uint32_of(type, MF_MT_TRANSFER_FUNCTION), 5u);
}

TEST_F(MediaFoundation, OutputTypeCarriesCodecProfileSizeRateAndColourDescription) {
  struct Case {
    OutputFormat format;
    GUID subtype;
    UINT32 profile;
  };
  const std::vector<Case> cases = {
      {{VideoCodec::kH264, CodecProfile::kH264High, 1920, 1080, 60, 8000000},
       MFVideoFormat_H264,
       100},
      {{VideoCodec::kH264, CodecProfile::kH264Main, 1280, 720, 30, 3000000},
       MFVideoFormat_H264,
       77},
      {{VideoCodec::kHevc, CodecProfile::kHevcMain, 2560, 1440, 1, 20000000},
       MFVideoFormat_HEVC,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format.width);
    ComPtr<IMFMediaType> type;
    ASSERT_TRUE(SUCCEEDED(make_output_type(c.format, type)));
    GUID major{};
    GUID subtype{};
    ASSERT_TRUE(SUCCEEDED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)));
    ASSERT_TRUE(SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype)));
    EXPECT_TRUE(IsEqualGUID(major, MFMediaType_Video));
    EXPECT_TRUE(IsEqualGUID(subtype, c.subtype));
    EXPECT_EQ(uint32_of(*type.Get(), MF_MT_AVG_BITRATE), c.format.bit_rate);
    EXPECT_EQ(uint32_of(*type.Get(), MF_MT_MPEG2_PROFILE), c.profile);
    // Width in the high half, height in the low half; frames per second over 1.
    expect_picture(*type.Get(),
                   (static_cast<std::uint64_t>(c.format.width) << 32) |
                       static_cast<std::uint32_t>(c.format.height),
                   (static_cast<std::uint64_t>(c.format.fps) << 32) | 1);
  }
}

TEST_F(MediaFoundation, InputDescriptionKeepsTheOfferedSubtypeAndAddsTheOutputsPicture) {
  ComPtr<IMFMediaType> offered;
  ASSERT_TRUE(SUCCEEDED(MFCreateMediaType(&offered)));
  ASSERT_TRUE(SUCCEEDED(offered->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video)));
  ASSERT_TRUE(SUCCEEDED(offered->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12)));
  ASSERT_TRUE(SUCCEEDED(describe_input(*offered.Get(), {1364, 768, 144})));
  GUID subtype{};
  ASSERT_TRUE(SUCCEEDED(offered->GetGUID(MF_MT_SUBTYPE, &subtype)));
  EXPECT_TRUE(IsEqualGUID(subtype, MFVideoFormat_NV12));
  expect_picture(*offered.Get(), (1364ULL << 32) | 768, (144ULL << 32) | 1);
  UINT32 ignored = 0;
  EXPECT_FALSE(SUCCEEDED(offered->GetUINT32(MF_MT_MPEG2_PROFILE, &ignored)));
}

// An ICodecAPI that records what it is given and answers with a chosen result.
class FakeCodecApi : public ICodecAPI {
 public:
  struct Call {
    GUID api;
    VARTYPE type;
    ULONG value;     // for VT_UI4
    VARIANT_BOOL on;  // for VT_BOOL
  };
  std::vector<Call> calls;
  HRESULT answer = S_OK;

  HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override {
    calls.push_back({*api, value->vt, value->vt == VT_UI4 ? value->ulVal : 0,
                     value->vt == VT_BOOL ? value->boolVal : VARIANT_BOOL{0}});
    return answer;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE IsSupported(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsModifiable(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetParameterValues(const GUID*, VARIANT**, ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllDefaults() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override {
    return E_NOTIMPL;
  }
};

// Each setting reaches the codec API under its own identifier and as the VARIANT type the API
// documents for it: a Boolean for the low-latency switch, a 32-bit unsigned number for the
// rest. The first two fields are the ones the portable encoder's failure line prints for it.
TEST(CodecApiSettings, EachSettingIsSetUnderItsIdentifierAsItsDocumentedType) {
  const GUID force_key_frame_id = {
      0x398c1b98, 0x8353, 0x475a, {0x9e, 0xf2, 0x8f, 0x26, 0x5d, 0x26, 0x03, 0x45}};
  struct Case {
    CodecSetting setting;
    GUID id;
    VARTYPE type;
  };
  const std::vector<Case> cases = {
      {CodecSetting::kRateControlMode,
       {0x1c0608e9, 0x370c, 0x4710, {0x8a, 0x58, 0xcb, 0x61, 0x81, 0xc4, 0x24, 0x23}},
       VT_UI4},
      {CodecSetting::kLowLatencyMode,
       {0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}},
       VT_BOOL},
      {CodecSetting::kMeanBitRate,
       {0xf7222374, 0x2144, 0x4815, {0xb5, 0x50, 0xa3, 0x7f, 0x8e, 0x12, 0xee, 0x52}},
       VT_UI4},
      {CodecSetting::kMaxBitRate,
       {0x9651eae4, 0x39b9, 0x4ebf, {0x85, 0xef, 0xd7, 0xf4, 0x44, 0xec, 0x74, 0x65}},
       VT_UI4},
      {CodecSetting::kGopSize,
       {0x95f31b26, 0x95a4, 0x41aa, {0x93, 0x03, 0x24, 0x6a, 0x7f, 0xc6, 0xee, 0xf1}},
       VT_UI4},
      {CodecSetting::kBPictureCount,
       {0x8d390aac, 0xdc5c, 0x4200, {0xb5, 0x7f, 0x81, 0x4d, 0x04, 0xba, 0xba, 0xb2}},
       VT_UI4},
      {CodecSetting::kQualityVsSpeed,
       {0x98332df8, 0x03cd, 0x476b, {0x89, 0xfa, 0x3f, 0x9e, 0x44, 0x2d, 0xec, 0x9f}},
       VT_UI4},
  };
  FakeCodecApi api;
  std::uint32_t value = 7;
  for (const Case& c : cases) {
    EXPECT_EQ(codec_setting_type(c.setting), c.type);
    EXPECT_EQ(set_codec_value(api, c.setting, value), 0u);
    ASSERT_FALSE(api.calls.empty());
    EXPECT_TRUE(IsEqualGUID(api.calls.back().api, c.id)) << value;
    EXPECT_EQ(api.calls.back().type, c.type) << value;
    if (c.type == VT_UI4) {
      EXPECT_EQ(api.calls.back().value, value);
    }
    value *= 1000;
  }
  // A Boolean is VARIANT_TRUE (all bits set) for "on", whatever number asked for it, and
  // VARIANT_FALSE for 0.
  set_codec_value(api, CodecSetting::kLowLatencyMode, 1);
  EXPECT_EQ(api.calls.back().on, VARIANT_TRUE);
  set_codec_value(api, CodecSetting::kLowLatencyMode, 0);
  EXPECT_EQ(api.calls.back().on, VARIANT_FALSE);
  EXPECT_TRUE(force_key_frame(api));
  EXPECT_TRUE(IsEqualGUID(api.calls.back().api, force_key_frame_id));
  EXPECT_EQ(api.calls.back().type, VT_UI4);
  EXPECT_EQ(api.calls.back().value, 1u);
}

TEST(CodecApiSettings, RefusalsAreReportedWithTheCodecApisCode) {
  FakeCodecApi api;
  api.answer = E_INVALIDARG;
  EXPECT_EQ(set_codec_value(api, CodecSetting::kGopSize, 216000),
            static_cast<std::uint32_t>(E_INVALIDARG));
  EXPECT_FALSE(force_key_frame(api));
}

TEST(VideoProcessorSetUp, OlderColourSpaceFormIsFullRangeRgbInAndBt709StudioOut) {
  EXPECT_EQ(color_space_bits(legacy_source_color_space()), 0u);
  EXPECT_EQ(color_space_bits(legacy_output_color_space()), 20u);
}

TEST(VideoProcessorSetUp, ContentDescriptionIsProgressiveAtTheFrameRateForOptimalSpeed) {
  const D3D11_VIDEO_PROCESSOR_CONTENT_DESC desc = content_description({1365, 768, 1364, 768, 60});
  EXPECT_EQ(desc.InputFrameFormat, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  EXPECT_EQ(desc.InputWidth, 1365u);
  EXPECT_EQ(desc.InputHeight, 768u);
  EXPECT_EQ(desc.OutputWidth, 1364u);
  EXPECT_EQ(desc.OutputHeight, 768u);
  EXPECT_EQ(desc.InputFrameRate.Numerator, 60u);
  EXPECT_EQ(desc.InputFrameRate.Denominator, 1u);
  EXPECT_EQ(desc.OutputFrameRate.Numerator, 60u);
  EXPECT_EQ(desc.OutputFrameRate.Denominator, 1u);
  EXPECT_EQ(desc.Usage, D3D11_VIDEO_USAGE_OPTIMAL_SPEED);
}

// A rotated monitor's surface is turned upright by the processor by as many degrees clockwise
// as the monitor is turned: at 90 degrees the surface's first column, read from the bottom up,
// is the desktop's top row, which a clockwise quarter turn puts on top.
TEST(VideoProcessorSetUp, RotatedSurfaceIsTurnedUprightByTheSameClockwiseAngle) {
  const std::pair<DXGI_MODE_ROTATION, D3D11_VIDEO_PROCESSOR_ROTATION> cases[] = {
      {DXGI_MODE_ROTATION_UNSPECIFIED, D3D11_VIDEO_PROCESSOR_ROTATION_IDENTITY},
      {DXGI_MODE_ROTATION_IDENTITY, D3D11_VIDEO_PROCESSOR_ROTATION_IDENTITY},
      {DXGI_MODE_ROTATION_ROTATE90, D3D11_VIDEO_PROCESSOR_ROTATION_90},
      {DXGI_MODE_ROTATION_ROTATE180, D3D11_VIDEO_PROCESSOR_ROTATION_180},
      {DXGI_MODE_ROTATION_ROTATE270, D3D11_VIDEO_PROCESSOR_ROTATION_270},
  };
  for (const auto& [monitor, turn] : cases) EXPECT_EQ(upright_rotation(monitor), turn) << monitor;
}

}  // namespace
}  // namespace tolvi::platform::win32
