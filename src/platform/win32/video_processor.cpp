#include "platform/win32/video_processor.h"

#include <d3d11_1.h>

namespace tolvi::platform::win32 {

using Microsoft::WRL::ComPtr;

D3D11_VIDEO_PROCESSOR_CONTENT_DESC content_description(const VideoProcessorSize& size) {
  D3D11_VIDEO_PROCESSOR_CONTENT_DESC desc{};
  desc.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  desc.InputFrameRate = {static_cast<UINT>(size.fps), 1};
  desc.InputWidth = static_cast<UINT>(size.source_width);
  desc.InputHeight = static_cast<UINT>(size.source_height);
  desc.OutputFrameRate = {static_cast<UINT>(size.fps), 1};
  desc.OutputWidth = static_cast<UINT>(size.target_width);
  desc.OutputHeight = static_cast<UINT>(size.target_height);
  desc.Usage = D3D11_VIDEO_USAGE_OPTIMAL_SPEED;
  return desc;
}

D3D11_VIDEO_PROCESSOR_COLOR_SPACE legacy_source_color_space() {
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE space{};
  space.Usage = 0;      // playback
  space.RGB_Range = 0;  // 0..255
  space.YCbCr_Matrix = 0;
  space.YCbCr_xvYCC = 0;
  space.Nominal_Range = 0;
  return space;
}

D3D11_VIDEO_PROCESSOR_COLOR_SPACE legacy_output_color_space() {
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE space{};
  space.Usage = 0;
  space.RGB_Range = 0;
  space.YCbCr_Matrix = 1;  // BT.709
  space.YCbCr_xvYCC = 0;
  space.Nominal_Range = 1;  // D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_16_235
  return space;
}

std::uint32_t color_space_bits(const D3D11_VIDEO_PROCESSOR_COLOR_SPACE& space) {
  return space.Usage | space.RGB_Range << 1 | space.YCbCr_Matrix << 2 | space.YCbCr_xvYCC << 3 |
         space.Nominal_Range << 4;
}

void VideoProcessor::release() {
  while (!output_views_.empty()) output_views_.pop_back();
  processor_.Reset();
  enumerator_.Reset();
  input_view_.Reset();
  video_context_.Reset();
  video_device_.Reset();
}

bool VideoProcessor::init(ID3D11Device& device, ID3D11DeviceContext& context,
                          ID3D11Texture2D& source, ID3D11Texture2D* const* targets,
                          std::size_t target_count, const VideoProcessorSize& size) {
  release();
  if (FAILED(device.QueryInterface(IID_PPV_ARGS(&video_device_))) ||
      FAILED(context.QueryInterface(IID_PPV_ARGS(&video_context_)))) {
    return false;
  }
  const D3D11_VIDEO_PROCESSOR_CONTENT_DESC content = content_description(size);
  if (FAILED(video_device_->CreateVideoProcessorEnumerator(&content, &enumerator_))) return false;
  if (FAILED(video_device_->CreateVideoProcessor(enumerator_.Get(), 0, &processor_))) return false;

  D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC input{};
  input.FourCC = 0;
  input.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
  input.Texture2D.MipSlice = 0;
  input.Texture2D.ArraySlice = 0;
  if (FAILED(video_device_->CreateVideoProcessorInputView(&source, enumerator_.Get(), &input,
                                                          &input_view_))) {
    return false;
  }
  D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC output{};
  output.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
  output.Texture2D.MipSlice = 0;
  for (std::size_t i = 0; i < target_count; ++i) {
    ComPtr<ID3D11VideoProcessorOutputView> view;
    if (FAILED(video_device_->CreateVideoProcessorOutputView(targets[i], enumerator_.Get(), &output,
                                                             &view))) {
      return false;
    }
    output_views_.push_back(std::move(view));
  }

  const RECT source_rect{0, 0, size.source_width, size.source_height};
  const RECT target_rect{0, 0, size.target_width, size.target_height};
  ID3D11VideoContext& vc = *video_context_.Get();
  vc.VideoProcessorSetStreamSourceRect(processor_.Get(), 0, TRUE, &source_rect);
  vc.VideoProcessorSetStreamDestRect(processor_.Get(), 0, TRUE, &target_rect);
  vc.VideoProcessorSetOutputTargetRect(processor_.Get(), TRUE, &target_rect);
  vc.VideoProcessorSetStreamFrameFormat(processor_.Get(), 0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  vc.VideoProcessorSetStreamAutoProcessingMode(processor_.Get(), 0, FALSE);
  if (size.rotation != D3D11_VIDEO_PROCESSOR_ROTATION_IDENTITY) {
    vc.VideoProcessorSetStreamRotation(processor_.Get(), 0, TRUE, size.rotation);
  }

  ComPtr<ID3D11VideoContext1> vc1;
  if (SUCCEEDED(video_context_.As(&vc1))) {
    vc1->VideoProcessorSetStreamColorSpace1(processor_.Get(), 0,
                                            DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709);
    vc1->VideoProcessorSetOutputColorSpace1(processor_.Get(),
                                            DXGI_COLOR_SPACE_YCBCR_STUDIO_G22_LEFT_P709);
  } else {
    const D3D11_VIDEO_PROCESSOR_COLOR_SPACE stream = legacy_source_color_space();
    const D3D11_VIDEO_PROCESSOR_COLOR_SPACE out = legacy_output_color_space();
    vc.VideoProcessorSetStreamColorSpace(processor_.Get(), 0, &stream);
    vc.VideoProcessorSetOutputColorSpace(processor_.Get(), &out);
  }
  return true;
}

bool VideoProcessor::convert(std::size_t slot) {
  if (!processor_ || slot >= output_views_.size()) return false;
  D3D11_VIDEO_PROCESSOR_STREAM stream{};
  stream.Enable = TRUE;
  stream.OutputIndex = 0;
  stream.InputFrameOrField = 0;
  stream.PastFrames = 0;
  stream.FutureFrames = 0;
  stream.pInputSurface = input_view_.Get();
  return SUCCEEDED(video_context_->VideoProcessorBlt(processor_.Get(), output_views_[slot].Get(), 0,
                                                     1, &stream));
}

}  // namespace tolvi::platform::win32
