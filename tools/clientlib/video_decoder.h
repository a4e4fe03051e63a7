#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "rgb_image.h"
#include "stream_messages.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace tolvi::client {

// Decodes one stream's access units with libavcodec, one picture out per access unit (low
// delay, no frame threading, so what arrives is what is shown).
class VideoDecoder {
 public:
  VideoDecoder();
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // Opens a decoder for the codec, dropping any earlier one; false with error() set. With
  // hardware, decodes through VAAPI when this machine has a device for it (pictures then come
  // out as NV12), else in software as without.
  bool open(VideoCodec codec, bool hardware = false);
  bool hardware() const { return hardware_ != nullptr; }
  bool is_open() const { return context_ != nullptr; }

  enum class Result { Picture, NoPicture, Error };
  // Feeds one access unit in byte-stream form. Picture: picture() holds the new picture.
  Result decode(const std::uint8_t* data, std::size_t size);

  int width() const;
  int height() const;
  // The last decoded picture as RGB (colour matrix and range as the stream says; BT.709
  // studio range when it says nothing). false when there is none.
  bool picture_rgb(RgbImage& out);
  // A new reference to the last decoded picture in the decoder's own format (planar YUV
  // 4:2:0 from the software decoders), for a caller that draws it itself; null when there is
  // none. The caller frees it with av_frame_free.
  AVFrame* picture_ref() const;

  const std::string& error() const { return error_; }

 private:
  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;         // the newest picture
  AVFrame* scratch_ = nullptr;       // receives pictures from the decoder
  AVBufferRef* hardware_ = nullptr;  // the VAAPI device while decoding through it
  bool have_picture_ = false;
  SwsContext* scaler_ = nullptr;
  std::string error_;
};

// PNG files through libavcodec's PNG encoder and decoder. false with a reason in error.
bool write_png(const RgbImage& image, const std::string& path, std::string& error);
bool read_png(const std::string& path, RgbImage& out, std::string& error);

}  // namespace tolvi::client
