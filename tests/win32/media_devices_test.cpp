// The Windows video backend against the platform's own graphics and media objects. Under Wine
// (with an X display) the adapter, output, device and encoder-catalogue checks run; desktop
// duplication, the video processor and Media Foundation encoders are not in Wine, and those
// tests skip with the reason. On a Windows machine every test runs.
#include <d3d10.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/capture.h"
#include "platform/converter.h"
#include "platform/encoder.h"
#include "platform/text.h"
#include "platform/win32/d3d11_device.h"
#include "video/encoder.h"

namespace tolvi::platform::win32 {
namespace {

std::string utf8(const std::wstring& text) {
  return to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::uint64_t adapter_luid_of(IDXGIAdapter1& adapter) {
  DXGI_ADAPTER_DESC1 desc{};
  EXPECT_TRUE(SUCCEEDED(adapter.GetDesc1(&desc)));
  return luid_value(desc.AdapterLuid);
}

TEST(GraphicsAdapters, PrimaryOutputIsFoundAndAVideoDeviceMadeOnItsAdapter) {
  ComPtr<IDXGIFactory1> factory;
  ASSERT_TRUE(SUCCEEDED(CreateDXGIFactory1(IID_PPV_ARGS(&factory))));
  int outputs = 0;
  for_each_output(*factory.Get(), [&](IDXGIAdapter1&, IDXGIOutput* output, const OutputFacts&) {
    if (output) ++outputs;
    return true;
  });
  ASSERT_GE(outputs, 1);

  PrimaryOutput primary;
  ASSERT_TRUE(find_primary_output(primary));
  EXPECT_TRUE(primary.facts.attached);
  EXPECT_TRUE(primary.facts.primary);
  EXPECT_EQ(utf8(primary.facts.device_name).rfind("\\\\.\\", 0), 0u)
      << utf8(primary.facts.device_name);
  EXPECT_GT(primary.facts.desktop.right - primary.facts.desktop.left, 0);

  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ASSERT_TRUE(create_video_device(primary.adapter.Get(), device, context));
  ASSERT_TRUE(context);
  EXPECT_GE(device->GetFeatureLevel(), D3D_FEATURE_LEVEL_10_1);
  // The device is on the adapter it was asked for, and its LUID reads back through DXGI.
  EXPECT_EQ(adapter_luid(*device.Get()), adapter_luid_of(*primary.adapter.Get()));
  ComPtr<ID3D10Multithread> multithread;
  if (SUCCEEDED(device.As(&multithread))) {
    EXPECT_TRUE(multithread->GetMultithreadProtected());
  }
}

// Capture, converter and encoders ask for the device of the primary adapter and get one and the
// same, multithread-protected, so a picture made by one is read by the next on the adapter.
TEST(GraphicsAdapters, OneSharedDevicePerAdapter) {
  PrimaryOutput primary;
  ASSERT_TRUE(find_primary_output(primary));
  ComPtr<ID3D11Device> first;
  ComPtr<ID3D11DeviceContext> first_context;
  ComPtr<ID3D11Device> second;
  ComPtr<ID3D11DeviceContext> second_context;
  ASSERT_TRUE(shared_video_device(primary.adapter.Get(), first, first_context));
  ASSERT_TRUE(shared_video_device(primary.adapter.Get(), second, second_context));
  EXPECT_EQ(first.Get(), second.Get());
  EXPECT_EQ(first_context.Get(), second_context.Get());
  EXPECT_EQ(adapter_luid(*first.Get()), adapter_luid_of(*primary.adapter.Get()));
  ComPtr<ID3D10Multithread> multithread;
  if (SUCCEEDED(first.As(&multithread))) {
    EXPECT_TRUE(multithread->GetMultithreadProtected());
  }
  // The encoders' catalogue sits on it too.
  std::shared_ptr<EncoderCatalogue> catalogue = make_encoder_catalogue();
  ASSERT_TRUE(catalogue);
  EXPECT_EQ(catalogue->capture_adapter_id(), adapter_luid(*first.Get()));
}

TEST(DesktopCapture, DuplicatesThePrimaryOutputAndReadsItsPicture) {
  PrimaryOutput primary;
  ASSERT_TRUE(find_primary_output(primary));
  std::unique_ptr<CaptureDevice> capture = make_capture_device("");
  ASSERT_TRUE(capture);
  EXPECT_EQ(capture->output_name(), utf8(primary.facts.device_name));

  std::unique_ptr<OutputDuplication> duplication = capture->open_duplication();
  if (!duplication) GTEST_SKIP() << "IDXGIOutput1::DuplicateOutput refused (Wine lacks it)";
  const DesktopRect rect = duplication->desktop_rect();
  const RECT& desktop = primary.facts.desktop;
  EXPECT_EQ(rect, (DesktopRect{desktop.left, desktop.top, desktop.right, desktop.bottom}));
  // The first acquire after opening brings the current picture.
  const AcquireResult acquired = duplication->acquire_next_frame(500);
  ASSERT_EQ(acquired.status, AcquireStatus::kFrame);
  ASSERT_TRUE(acquired.info.present);
  DesktopImage image;
  ASSERT_TRUE(duplication->copy_frame_to(image));
  EXPECT_EQ(image.width, rect.width());
  EXPECT_EQ(image.height, rect.height());
  // The picture stays on the adapter.
  EXPECT_TRUE(image.on_adapter);
  duplication->release_frame();
}

TEST(VideoProcessorConversion, WhiteAndBlackBecomeStudioRangeNv12) {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ASSERT_TRUE(create_video_device(nullptr, device, context));
  ComPtr<ID3D11VideoDevice> video;
  if (FAILED(device.As(&video))) GTEST_SKIP() << "no ID3D11VideoDevice (Wine lacks it)";

  std::unique_ptr<VideoConverter> converter = make_video_converter();
  ASSERT_TRUE(converter);
  // Left half white, right half black; scaled from 128 x 64 to 64 x 32.
  ASSERT_TRUE(converter->init(128, 64, 64, 32, 30));
  DesktopImage source;
  source.resize(128, 64);
  for (std::int32_t y = 0; y < source.height; ++y) {
    for (std::int32_t x = 0; x < source.width; ++x) {
      const std::uint8_t level = x < 64 ? 255 : 0;
      std::uint8_t* pixel = source.row(y) + 4 * x;
      pixel[0] = pixel[1] = pixel[2] = level;
      pixel[3] = 255;
    }
  }
  Nv12Image target;
  ASSERT_TRUE(converter->convert(source, target));
  ASSERT_EQ(target.width, 64);
  ASSERT_EQ(target.height, 32);
  // Away from the edge the scaling filter blends.
  EXPECT_EQ(target.y_plane()[16 * 64 + 8], 235);
  EXPECT_EQ(target.y_plane()[16 * 64 + 56], 16);
  EXPECT_EQ(target.uv_plane()[8 * 64 + 8], 128);
  EXPECT_EQ(target.uv_plane()[8 * 64 + 9], 128);
  // A size other than the set-up's is refused.
  source.resize(100, 64);
  EXPECT_FALSE(converter->convert(source, target));
}

TEST(MediaFoundationEncoders, CatalogueKnowsTheCaptureAdapter) {
  std::shared_ptr<EncoderCatalogue> catalogue = make_encoder_catalogue();
  ASSERT_TRUE(catalogue);
  PrimaryOutput primary;
  ASSERT_TRUE(find_primary_output(primary));
  ASSERT_TRUE(catalogue->capture_adapter_id());
  EXPECT_EQ(*catalogue->capture_adapter_id(), adapter_luid_of(*primary.adapter.Get()));
  std::vector<EncoderCandidate> hardware;
  EXPECT_TRUE(catalogue->enumerate(VideoCodec::kH264, true, hardware));
  for (const EncoderCandidate& candidate : hardware) EXPECT_TRUE(candidate.hardware);
}

TEST(MediaFoundationEncoders, SoftwareH264EncodesKeyFrameWithParameterSets) {
  std::shared_ptr<EncoderCatalogue> catalogue = make_encoder_catalogue();
  ASSERT_TRUE(catalogue);
  std::vector<EncoderCandidate> software;
  ASSERT_TRUE(catalogue->enumerate(VideoCodec::kH264, false, software));
  if (software.empty()) GTEST_SKIP() << "no H.264 encoder transform (Wine has none)";

  // Only the software encoder is asked for, through the portable encoder and this catalogue.
  class SoftwareOnly : public EncoderCatalogue {
   public:
    explicit SoftwareOnly(std::shared_ptr<EncoderCatalogue> real) : real_(std::move(real)) {}
    std::optional<std::uint64_t> capture_adapter_id() const override {
      return real_->capture_adapter_id();
    }
    bool enumerate(VideoCodec codec, bool hardware, std::vector<EncoderCandidate>& out) override {
      return !hardware && real_->enumerate(codec, hardware, out);
    }
    std::unique_ptr<EncoderTransform> activate(const EncoderCandidate& candidate) override {
      return real_->activate(candidate);
    }

   private:
    std::shared_ptr<EncoderCatalogue> real_;
  };

  struct Unit {
    std::vector<std::uint8_t> data;
    bool keyframe;
  };
  std::vector<Unit> units;
  Encoder encoder;
  ASSERT_TRUE(
      encoder.open(std::make_shared<SoftwareOnly>(catalogue), 320, 240, 30, 1000, false,
                   [&](const std::uint8_t* data, std::uint64_t size, bool keyframe, std::uint64_t) {
                     units.push_back({{data, data + size}, keyframe});
                   }));
  EXPECT_FALSE(encoder.is_hardware());
  EXPECT_FALSE(encoder.zero_copy());
  Nv12Image frame;
  frame.resize(320, 240);
  for (int i = 0; i < 60 && units.empty(); ++i) {
    std::fill(frame.data.begin(), frame.data.end(), static_cast<std::uint8_t>(16 + i));
    encoder.encode_frame(frame, 1000000 + static_cast<std::uint64_t>(i) * 33333);
  }
  ASSERT_FALSE(units.empty());
  EXPECT_TRUE(units.front().keyframe);
  EXPECT_TRUE(contains_sps(units.front().data, false));
}

}  // namespace
}  // namespace tolvi::platform::win32
