#pragma once
// The Direct3D 11 video processor set up for one conversion: BGRA source texture of the desktop
// size onto a list of NV12 target textures of the stream size, RGB full range to BT.709 studio
// range, the whole source scaled onto the whole target.
#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvi::platform::win32 {

struct VideoProcessorSize {
  std::int32_t source_width = 0;   // of the source texture, as it lies (before turning)
  std::int32_t source_height = 0;
  std::int32_t target_width = 0;
  std::int32_t target_height = 0;
  std::int32_t fps = 1;
  // The turn that makes the source upright (VideoProcessorSetStreamRotation).
  D3D11_VIDEO_PROCESSOR_ROTATION rotation = D3D11_VIDEO_PROCESSOR_ROTATION_IDENTITY;
};

// The processor's description of the conversion: progressive input, fps/1 in and out, optimal
// speed.
D3D11_VIDEO_PROCESSOR_CONTENT_DESC content_description(const VideoProcessorSize& size);

// The colour spaces in the older bit-field form, for contexts without ID3D11VideoContext1:
// the stream is RGB 0..255 (value 0), the output BT.709 studio range (value 20).
D3D11_VIDEO_PROCESSOR_COLOR_SPACE legacy_source_color_space();
D3D11_VIDEO_PROCESSOR_COLOR_SPACE legacy_output_color_space();
// The bit-field form as one number, as the documentation counts its bits.
std::uint32_t color_space_bits(const D3D11_VIDEO_PROCESSOR_COLOR_SPACE& space);

class VideoProcessor {
 public:
  // Releases any earlier set-up first. On failure the objects made so far stay until the next
  // init or release.
  bool init(ID3D11Device& device, ID3D11DeviceContext& context, ID3D11Texture2D& source,
            ID3D11Texture2D* const* targets, std::size_t target_count,
            const VideoProcessorSize& size);
  // One pass into target `slot`; false when the platform call fails or there is no such slot.
  bool convert(std::size_t slot);
  void release();

 private:
  Microsoft::WRL::ComPtr<ID3D11VideoDevice> video_device_;
  Microsoft::WRL::ComPtr<ID3D11VideoContext> video_context_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> enumerator_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessor> processor_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorInputView> input_view_;
  std::vector<Microsoft::WRL::ComPtr<ID3D11VideoProcessorOutputView>> output_views_;
};

}  // namespace tolvi::platform::win32
