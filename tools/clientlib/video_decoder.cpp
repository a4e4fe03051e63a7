#include "video_decoder.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}
#include "ffmpeg/ffmpeg_holders.h"

namespace tolvi::client {
namespace {

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

using ffmpeg::CodecContextPtr;
using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;

// Converts any decoded frame to packed RGB24 with the frame's own colour description. A
// stream that names no matrix is taken as BT.709 (what the host tags its streams with).
bool frame_to_rgb(const AVFrame* frame, SwsContext*& scaler, RgbImage& out) {
  const auto format = static_cast<AVPixelFormat>(frame->format);
  scaler = sws_getCachedContext(scaler, frame->width, frame->height, format, frame->width,
                                frame->height, AV_PIX_FMT_RGB24, SWS_POINT | SWS_ACCURATE_RND,
                                nullptr, nullptr, nullptr);
  if (!scaler) return false;
  const int matrix = frame->colorspace == AVCOL_SPC_UNSPECIFIED
                         ? SWS_CS_ITU709
                         : static_cast<int>(frame->colorspace);
  const int* coefficients = sws_getCoefficients(matrix);
  const int full_range_in = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
  // Returns -1 for RGB input (no matrix to set), which is fine.
  sws_setColorspaceDetails(scaler, coefficients, full_range_in, sws_getCoefficients(SWS_CS_ITU709),
                           1, 0, 1 << 16, 1 << 16);
  out.width = frame->width;
  out.height = frame->height;
  out.rgb.assign(static_cast<std::size_t>(frame->width) * frame->height * 3, 0);
  std::uint8_t* planes[4] = {out.rgb.data(), nullptr, nullptr, nullptr};
  int strides[4] = {frame->width * 3, 0, 0, 0};
  return sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides) ==
         frame->height;
}

// Picks VAAPI surfaces when the decoder offers them; software formats otherwise.
AVPixelFormat pick_vaapi(AVCodecContext*, const AVPixelFormat* formats) {
  for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
    if (*f == AV_PIX_FMT_VAAPI) return *f;
  }
  return formats[0];
}

}  // namespace

VideoDecoder::VideoDecoder() = default;

VideoDecoder::~VideoDecoder() {
  sws_freeContext(scaler_);
  av_frame_free(&scratch_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&context_);
  av_buffer_unref(&hardware_);
}

bool VideoDecoder::open(VideoCodec codec, bool hardware) {
  avcodec_free_context(&context_);
  av_buffer_unref(&hardware_);
  have_picture_ = false;
  const AVCodecID id = codec == VideoCodec::Hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
  const AVCodec* decoder = avcodec_find_decoder(id);
  if (!decoder) {
    error_ = std::string("libavcodec has no ") + codec_name(codec) + " decoder";
    return false;
  }
  CodecContextPtr context(avcodec_alloc_context3(decoder));
  if (!packet_) packet_ = av_packet_alloc();
  if (!frame_) frame_ = av_frame_alloc();
  if (!scratch_) scratch_ = av_frame_alloc();
  if (!context || !packet_ || !frame_ || !scratch_) {
    error_ = "out of memory";
    return false;
  }
  // Frame threading would hold pictures back by one frame per thread.
  context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context->thread_count = 1;
  // Without a VAAPI device (no GPU, no driver) this fails quietly and software decodes.
  if (hardware &&
      av_hwdevice_ctx_create(&hardware_, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) == 0) {
    context->hw_device_ctx = av_buffer_ref(hardware_);
    context->get_format = pick_vaapi;
  }
  const int rc = avcodec_open2(context.get(), decoder, nullptr);
  if (rc < 0) {
    error_ = std::string("cannot open the ") + codec_name(codec) + " decoder: " + av_error_text(rc);
    return false;
  }
  context_ = context.release();
  return true;
}

VideoDecoder::Result VideoDecoder::decode(const std::uint8_t* data, std::size_t size) {
  if (!context_) {
    error_ = "no decoder open";
    return Result::Error;
  }
  av_packet_unref(packet_);
  if (av_new_packet(packet_, static_cast<int>(size)) < 0) {
    error_ = "out of memory";
    return Result::Error;
  }
  if (size) std::memcpy(packet_->data, data, size);
  int rc = avcodec_send_packet(context_, packet_);
  if (rc < 0) {
    error_ = "decoder refused an access unit: " + av_error_text(rc);
    return Result::Error;
  }
  Result result = Result::NoPicture;
  // Keep only the newest picture if the decoder ever hands out more than one. Each receive
  // starts by clearing the frame it is given, so pictures land in a scratch frame first.
  while ((rc = avcodec_receive_frame(context_, scratch_)) == 0) {
    av_frame_unref(frame_);
    if (scratch_->format == AV_PIX_FMT_VAAPI) {
      // Into system memory as NV12, the surface's own layout: no colour conversion.
      const int copied = av_hwframe_transfer_data(frame_, scratch_, 0);
      av_frame_unref(scratch_);
      if (copied < 0) {
        error_ = "cannot read a picture back from VAAPI: " + av_error_text(copied);
        return Result::Error;
      }
    } else {
      av_frame_move_ref(frame_, scratch_);
    }
    have_picture_ = true;
    result = Result::Picture;
  }
  if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
    error_ = "decoding failed: " + av_error_text(rc);
    return Result::Error;
  }
  return result;
}

int VideoDecoder::width() const { return have_picture_ ? frame_->width : 0; }
int VideoDecoder::height() const { return have_picture_ ? frame_->height : 0; }

bool VideoDecoder::picture_rgb(RgbImage& out) {
  if (!have_picture_) return false;
  return frame_to_rgb(frame_, scaler_, out);
}

AVFrame* VideoDecoder::picture_ref() const {
  return have_picture_ ? av_frame_clone(frame_) : nullptr;
}

bool write_png(const RgbImage& image, const std::string& path, std::string& error) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) {
    error = "libavcodec has no PNG encoder";
    return false;
  }
  CodecContextPtr context(avcodec_alloc_context3(codec));
  FramePtr frame(av_frame_alloc());
  PacketPtr packet(av_packet_alloc());
  if (!context || !frame || !packet || image.width <= 0 || image.height <= 0) {
    error = "no picture to write";
    return false;
  }
  context->width = image.width;
  context->height = image.height;
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = AVRational{1, 1};
  int rc = avcodec_open2(context.get(), codec, nullptr);
  if (rc < 0) {
    error = "cannot open the PNG encoder: " + av_error_text(rc);
    return false;
  }
  frame->format = AV_PIX_FMT_RGB24;
  frame->width = image.width;
  frame->height = image.height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) {
    error = "out of memory";
    return false;
  }
  const std::size_t row = static_cast<std::size_t>(image.width) * 3;
  for (int y = 0; y < image.height; ++y) {
    std::memcpy(frame->data[0] + static_cast<std::size_t>(y) * frame->linesize[0],
                image.rgb.data() + y * row, row);
  }
  if ((rc = avcodec_send_frame(context.get(), frame.get())) < 0 ||
      (rc = avcodec_receive_packet(context.get(), packet.get())) < 0) {
    error = "PNG encoding failed: " + av_error_text(rc);
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    error = "cannot create " + path;
    return false;
  }
  const bool written = std::fwrite(packet->data, 1, static_cast<std::size_t>(packet->size), file) ==
                       static_cast<std::size_t>(packet->size);
  if (std::fclose(file) != 0 || !written) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

bool read_png(const std::string& path, RgbImage& out, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path;
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  if (!codec) {
    error = "libavcodec has no PNG decoder";
    return false;
  }
  CodecContextPtr context(avcodec_alloc_context3(codec));
  FramePtr frame(av_frame_alloc());
  PacketPtr packet(av_packet_alloc());
  if (!context || !frame || !packet || avcodec_open2(context.get(), codec, nullptr) < 0 ||
      av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
    error = "cannot set up the PNG decoder";
    return false;
  }
  std::memcpy(packet->data, bytes.data(), bytes.size());
  int rc = avcodec_send_packet(context.get(), packet.get());
  if (rc >= 0) rc = avcodec_receive_frame(context.get(), frame.get());
  if (rc < 0) {
    error = path + " is not a PNG picture: " + av_error_text(rc);
    return false;
  }
  SwsContext* scaler = nullptr;
  const bool converted = frame_to_rgb(frame.get(), scaler, out);
  sws_freeContext(scaler);
  if (!converted) error = "cannot convert " + path + " to RGB";
  return converted;
}

}  // namespace tolvi::client
