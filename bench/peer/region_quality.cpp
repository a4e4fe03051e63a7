// The picture the host's encoder gives of the peer benchmark's animated workloads, measured
// without a desktop: the painter's pictures (the same cells and colours, frame by frame) are
// converted and encoded as the host does at 1080p60 and its automatic cap, decoded, and compared
// with what was encoded. Prints, for each workload, the bytes a frame, the bytes a second at
// 60 frames a second, the largest frame against the VBV of one frame at the max rate, and the
// PSNR of the animated area (Y, U and V together); and the encoder's CPU for a picture that
// does not change at all, its floor for every refresh and every near-still frame.
// Usage: peer_region_quality [FRAMES]
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "e2e/painter_cells.h"
#include "e2e/reference_blocks.h"
#include "ffmpeg/ffmpeg_holders.h"
#include "platform/converter.h"
#include "platform/encoder.h"
#include "video/encoder.h"
#include "video/stream_config.h"

namespace {

using tolvi::platform::DesktopImage;
using tolvi::platform::DesktopRect;
using tolvi::platform::Nv12Image;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 60;

void fill(DesktopImage& image, int x0, int y0, int w, int h, std::uint32_t rgb) {
  for (int y = y0; y < y0 + h; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(image.row(y));
    std::fill(row + x0, row + x0 + w, rgb & 0xffffff);  // B, G, R, 0 in memory
  }
}

void draw_blocks(DesktopImage& image) {
  using namespace tolvi::testing;
  for (int row = 0; row < kBlockRows; ++row) {
    for (int col = 0; col < kBlockColumns; ++col) {
      const BlockColour& c = kBlockColours[row][col];
      const int x0 = col * kWidth / kBlockColumns, x1 = (col + 1) * kWidth / kBlockColumns;
      const int y0 = row * kHeight / kBlockRows, y1 = (row + 1) * kHeight / kBlockRows;
      fill(image, x0, y0, x1 - x0, y1 - y0,
           static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b);
    }
  }
}

void animate(DesktopImage& image, const DesktopRect& area, int cell, std::uint32_t frame) {
  for (int y = area.top, j = 0; y < area.bottom; y += cell, ++j) {
    for (int x = area.left, i = 0; x < area.right; x += cell, ++i) {
      const std::uint32_t v = tolvi::testing::painter_cell_colour(
          static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), frame);
      fill(image, x, y, std::min(cell, area.right - x), std::min(cell, area.bottom - y), v);
    }
  }
}

double cpu_seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Result {
  double encode_cpu_ms = 0;  // the encoder's CPU a frame, all its threads
  double bytes_per_frame = 0;
  std::size_t largest = 0;
  double psnr = 0;
  int frames = 0;
};

// Squared error of a decoded picture against the encoded one inside `area` (luma pixels; the
// chroma samples that cover it count too).
void add_error(const AVFrame& decoded, const Nv12Image& source, const DesktopRect& area,
               double& sum, double& count) {
  for (int y = area.top; y < area.bottom; ++y) {
    for (int x = area.left; x < area.right; ++x) {
      const double d = decoded.data[0][y * decoded.linesize[0] + x] -
                       source.y_plane()[static_cast<std::size_t>(y * kWidth + x)];
      sum += d * d;
    }
  }
  count += static_cast<double>(area.width()) * area.height();
  for (int y = area.top / 2; y < area.bottom / 2; ++y) {
    for (int x = area.left / 2; x < area.right / 2; ++x) {
      const std::uint8_t* uv = source.uv_plane() + static_cast<std::size_t>(y) * kWidth + 2 * x;
      const double du = decoded.data[1][y * decoded.linesize[1] + x] - uv[0];
      const double dv = decoded.data[2][y * decoded.linesize[2] + x] - uv[1];
      sum += du * du + dv * dv;
    }
  }
  count += static_cast<double>(area.width() / 2) * (area.height() / 2) * 2;
}

Result run(const DesktopRect& area, int cell, int frames, int kbps) {
  Result result;
  auto converter = tolvi::platform::make_video_converter();
  if (!converter || !converter->init(kWidth, kHeight, kWidth, kHeight, kFps)) return result;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* raw_context = avcodec_alloc_context3(codec);
  tolvi::ffmpeg::CodecContextPtr context(raw_context);
  tolvi::ffmpeg::FramePtr decoded(av_frame_alloc());
  tolvi::ffmpeg::PacketPtr packet(av_packet_alloc());
  if (!context || !decoded || !packet || avcodec_open2(context.get(), codec, nullptr) != 0) {
    return result;
  }

  DesktopImage desktop;
  desktop.resize(kWidth, kHeight);
  draw_blocks(desktop);
  Nv12Image picture;
  double total_bytes = 0;
  double error_sum = 0, error_count = 0;
  double decode_cpu = 0, encode_cpu = 0;
  bool failed = false;
  tolvi::Encoder encoder;
  const bool opened =
      encoder.open(tolvi::platform::make_encoder_catalogue(), kWidth, kHeight, kFps, kbps, false,
                   [&](const std::uint8_t* data, std::uint64_t size, bool key, std::uint64_t) {
                     if (!key) {  // the first picture's budget is a quarter second: not counted
                       total_bytes += static_cast<double>(size);
                       result.largest = std::max(result.largest, static_cast<std::size_t>(size));
                     }
                     const double decode_start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
                     struct Charge {
                       double start;
                       double& to;
                       ~Charge() { to += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - start; }
                     } charge{decode_start, decode_cpu};
                     // Key frames carry their parameter sets.
                     if (av_new_packet(packet.get(), static_cast<int>(size)) != 0) {
                       failed = true;
                       return;
                     }
                     std::copy(data, data + size, packet->data);
                     if (avcodec_send_packet(context.get(), packet.get()) != 0) failed = true;
                     av_packet_unref(packet.get());
                     while (avcodec_receive_frame(context.get(), decoded.get()) == 0) {
                       if (!key) add_error(*decoded, picture, area, error_sum, error_count);
                     }
                   });
  if (!opened) return result;
  if (!converter->convert(desktop, picture)) return result;
  for (int n = 0; n <= frames && !failed; ++n) {
    if (n > 0) {
      animate(desktop, area, cell, static_cast<std::uint32_t>(n));
      if (!converter->convert_area(desktop, picture, area)) return result;
      picture.changed = area;
    }
    const double start = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    if (!encoder.encode_frame(picture, static_cast<std::uint64_t>(n) * 1000000 / kFps)) break;
    if (n > 0) encode_cpu += cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - start;
    ++result.frames;
  }
  encoder.shutdown();
  if (result.frames > 1) {
    result.bytes_per_frame = total_bytes / (result.frames - 1);
    result.encode_cpu_ms = (encode_cpu - decode_cpu) * 1000 / (result.frames - 1);
  }
  const double mse = error_count > 0 ? error_sum / error_count : 0;
  result.psnr = mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  // The cap the benchmarks' client gets: H.264 only, automatic rate.
  tolvi::ClientConfig config;
  config.codec_mask = tolvi::kCodecBitH264;
  const int kbps = tolvi::stream_kbps(config, kWidth, kHeight, kFps);
  // The VBV of every frame but the first: one frame time at the max rate (1.5 x the cap).
  const double frame_vbv_bytes = kbps * 1500.0 / kFps / 8;
  struct Workload {
    const char* name;
    DesktopRect area;
    int cell;
  };
  const Workload workloads[] = {
      {"A full screen, 40x40 cells", {0, 0, kWidth, kHeight}, 40},
      {"B 480x270 region, 30x30 cells", {720, 405, 1200, 675}, 30},
      {"still picture (the encoder's floor)", {0, 0, 0, 0}, 30},
  };
  std::printf(
      "region quality: %d frames of 1920x1080 at %d fps, cap %d kbps, frame VBV %.0f bytes\n",
      frames, kFps, kbps, frame_vbv_bytes);
  for (const Workload& w : workloads) {
    const Result r = run(w.area, w.cell, frames, kbps);
    if (r.frames < 2) {
      std::printf("%-32s no frames encoded\n", w.name);
      continue;
    }
    std::printf(
        "%-32s %.2f ms encoder CPU/frame, %.0f bytes/frame, %.0f KB/s at %d fps, largest "
        "%zu bytes (%.2fx the frame VBV), PSNR %s\n",
        w.name, r.encode_cpu_ms, r.bytes_per_frame, r.bytes_per_frame * kFps / 1000, kFps,
        r.largest, static_cast<double>(r.largest) / frame_vbv_bytes,
        w.area.width() > 0 ? (std::to_string(r.psnr).substr(0, 4) + " dB").c_str() : "n/a");
  }
  return 0;
}
