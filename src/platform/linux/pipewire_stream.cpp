// A PipeWire video stream read into memory (see pipewire_stream.h).
#include "platform/linux/pipewire_stream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace tolvi::platform {
namespace {

// Largest pointer image the metadata is sized for (mutter draws larger ones scaled down).
constexpr std::int32_t kMaxPointerSide = 256;
constexpr std::int32_t kCursorMetaSide = 384;
// Changed regions one buffer may carry; more become their bounding box at the producer.
constexpr std::uint32_t kDamageRegions = 32;
constexpr std::uint32_t kMaxStreamSide = 16384;
constexpr std::uint32_t kDefaultWidth = 1920;
constexpr std::uint32_t kDefaultHeight = 1080;
constexpr std::uint32_t kMaxFrameRate = 1000;
constexpr std::uint32_t kDefaultFrameRate = 60;
constexpr std::size_t kParamBytes = 1024;
// Buffers of the stream: one held as the newest picture, one being filled, one spare. Each is a
// whole frame mapped into this process (8 MB at 1080p), so no more than this.
constexpr int kBuffersWanted = 3;
constexpr int kBuffersLeast = 2;
constexpr int kBuffersMost = 4;

std::once_flag pipewire_initialised;

DesktopRect united(const DesktopRect& a, const DesktopRect& b) {
  if (a.width() <= 0 || a.height() <= 0) return b;
  if (b.width() <= 0 || b.height() <= 0) return a;
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
          std::max(a.bottom, b.bottom)};
}

// Premultiplied R, G, B, A (the metadata's bitmap) into straight B, G, R, A.
void straight_bgra(const std::uint8_t* source, std::size_t count, std::uint8_t* target) {
  for (std::size_t i = 0; i < count; ++i, source += 4, target += 4) {
    const unsigned alpha = source[3];
    const auto unmultiply = [alpha](unsigned value) -> std::uint8_t {
      if (alpha == 0) return 0;
      return static_cast<std::uint8_t>(std::min(255u, (value * 255 + alpha / 2) / alpha));
    };
    target[0] = unmultiply(source[2]);
    target[1] = unmultiply(source[1]);
    target[2] = unmultiply(source[0]);
    target[3] = static_cast<std::uint8_t>(alpha);
  }
}

}  // namespace

struct PipeWireStream::State {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  // Below: written on PipeWire's thread, read by the capture thread, both under the loop's lock.
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool lost = false;
  pw_buffer* held = nullptr;  // the newest picture, not yet given back
  StreamUpdate pending;       // what arrived since the last take
  bool news = false;

  ~State() {
    if (loop) pw_thread_loop_stop(loop);
    if (stream) {
      if (held) pw_stream_queue_buffer(stream, held);
      spa_hook_remove(&listener);
      pw_stream_destroy(stream);
    }
    if (core) pw_core_disconnect(core);
    if (context) pw_context_destroy(context);
    if (loop) pw_thread_loop_destroy(loop);
  }

  void read_pointer(spa_buffer* buffer) {
    auto* cursor = static_cast<spa_meta_cursor*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
    if (!cursor) return;
    StreamPointer& pointer = pending.pointer;
    // An id of 0: the pointer is not over this monitor (or hidden).
    const bool visible = cursor->id != 0;
    bool changed = visible != pointer.visible;
    pointer.visible = visible;
    if (visible) {
      changed = changed || pointer.x != cursor->position.x || pointer.y != cursor->position.y;
      pointer.x = cursor->position.x;
      pointer.y = cursor->position.y;
    }
    if (visible && cursor->bitmap_offset >= sizeof(spa_meta_cursor)) {
      const auto* bitmap = SPA_PTROFF(cursor, cursor->bitmap_offset, spa_meta_bitmap);
      const auto w = static_cast<std::int32_t>(bitmap->size.width);
      const auto h = static_cast<std::int32_t>(bitmap->size.height);
      if (w <= 0 || h <= 0) {
        // An empty sprite: the pointer is hidden.
        pointer.visible = false;
        changed = true;
      } else if (w <= kMaxPointerSide && h <= kMaxPointerSide &&
                 bitmap->offset >= sizeof(spa_meta_bitmap) &&
                 bitmap->stride >= static_cast<std::int32_t>(w * 4)) {
        const auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, const std::uint8_t);
        pointer.pixels.resize(static_cast<std::size_t>(w) * h * 4);
        for (std::int32_t y = 0; y < h; ++y) {
          straight_bgra(pixels + static_cast<std::size_t>(y) * bitmap->stride,
                        static_cast<std::size_t>(w),
                        pointer.pixels.data() + static_cast<std::size_t>(y) * w * 4);
        }
        pointer.width = w;
        pointer.height = h;
        pointer.hot_x = cursor->hotspot.x;
        pointer.hot_y = cursor->hotspot.y;
        pointer.shape_changed = true;
        changed = true;
      }
    }
    if (changed) {
      pending.pointer_changed = true;
      news = true;
    }
  }

  DesktopRect damage_of(spa_buffer* buffer) const {
    const DesktopRect whole{0, 0, width, height};
    spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
    if (!meta) return whole;
    DesktopRect area;
    spa_meta_region* region = nullptr;
    spa_meta_for_each(region, meta) {
      if (!spa_meta_region_is_valid(region)) break;
      const DesktopRect r{
          std::clamp<std::int32_t>(region->region.position.x, 0, width),
          std::clamp<std::int32_t>(region->region.position.y, 0, height),
          std::clamp<std::int32_t>(
              region->region.position.x + static_cast<std::int32_t>(region->region.size.width), 0,
              width),
          std::clamp<std::int32_t>(
              region->region.position.y + static_cast<std::int32_t>(region->region.size.height), 0,
              height)};
      area = united(area, r);
    }
    return area;
  }

  // PipeWire's thread: every buffer that came, oldest first.
  void process() {
    pw_buffer* buffer = nullptr;
    while ((buffer = pw_stream_dequeue_buffer(stream)) != nullptr) {
      spa_buffer* spa = buffer->buffer;
      read_pointer(spa);
      const bool has_picture = spa->n_datas > 0 && spa->datas[0].data && spa->datas[0].chunk &&
                               spa->datas[0].chunk->size > 0 &&
                               (spa->datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0;
      if (!has_picture) {
        // Pointer news only (or a picture the producer could not finish).
        pw_stream_queue_buffer(stream, buffer);
        continue;
      }
      if (held) pw_stream_queue_buffer(stream, held);
      held = buffer;
      pending.picture = true;
      pending.damage = united(pending.damage, damage_of(spa));
      news = true;
    }
    pw_thread_loop_signal(loop, false);
  }

  void format_changed(const spa_pod* param) {
    spa_video_info_raw info{};
    if (!param || spa_format_video_raw_parse(param, &info) < 0) return;
    width = static_cast<std::int32_t>(info.size.width);
    height = static_cast<std::int32_t>(info.size.height);
    // Buffers in memory this process can map (no GPU here), with the changed regions and the
    // pointer as metadata.
    std::uint8_t storage[kParamBytes];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[4];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(kBuffersWanted, kBuffersLeast, kBuffersMost),
        SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions, sizeof(spa_meta_region),
                                 sizeof(spa_meta_region) * kDamageRegions)));
    // Room for the largest sprite mutter sends (384x384): a smaller size makes the meta
    // negotiation fail, and no pointer at all comes with the pictures.
    constexpr int kCursorBytes = sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) +
                                 kCursorMetaSide * kCursorMetaSide * 4;
    params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(kCursorBytes, static_cast<int>(sizeof(spa_meta_cursor)),
                                 kCursorBytes)));
    pw_stream_update_params(stream, params, 4);
    news = true;
    pw_thread_loop_signal(loop, false);
  }
};

namespace {

void on_state_changed(void* data, pw_stream_state, pw_stream_state state, const char*) {
  auto* s = static_cast<PipeWireStream::State*>(data);
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
    s->lost = true;
    pw_thread_loop_signal(s->loop, false);
  }
}

void on_param_changed(void* data, std::uint32_t id, const spa_pod* param) {
  if (id == SPA_PARAM_Format) static_cast<PipeWireStream::State*>(data)->format_changed(param);
}

void on_process(void* data) { static_cast<PipeWireStream::State*>(data)->process(); }

// A new format (the monitor turned or resized) frees every buffer: the newest picture we hold
// is one of them and must never be given back afterwards.
void on_remove_buffer(void* data, pw_buffer* buffer) {
  auto* s = static_cast<PipeWireStream::State*>(data);
  if (s->held == buffer) s->held = nullptr;
}

pw_stream_events stream_events() {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = on_state_changed;
  events.param_changed = on_param_changed;
  events.process = on_process;
  events.remove_buffer = on_remove_buffer;
  return events;
}

const pw_stream_events kStreamEvents = stream_events();

}  // namespace

std::unique_ptr<PipeWireStream> PipeWireStream::open(std::uint32_t node, std::string& error) {
  std::call_once(pipewire_initialised, [] { pw_init(nullptr, nullptr); });
  std::unique_ptr<PipeWireStream> self(new PipeWireStream);
  self->state_ = std::make_unique<State>();
  State& s = *self->state_;
  s.loop = pw_thread_loop_new("tolvi-capture", nullptr);
  if (!s.loop) {
    error = "no PipeWire loop";
    return nullptr;
  }
  s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
  if (!s.context) {
    error = "no PipeWire context";
    return nullptr;
  }
  if (pw_thread_loop_start(s.loop) < 0) {
    error = "PipeWire's thread did not start";
    return nullptr;
  }
  pw_thread_loop_lock(s.loop);
  s.core = pw_context_connect(s.context, nullptr, 0);
  if (!s.core) {
    pw_thread_loop_unlock(s.loop);
    error = std::string("cannot reach PipeWire: ") + std::strerror(errno);
    return nullptr;
  }
  s.stream = pw_stream_new(s.core, "tolvi-capture",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                             "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!s.stream) {
    pw_thread_loop_unlock(s.loop);
    error = "no PipeWire stream";
    return nullptr;
  }
  pw_stream_add_listener(s.stream, &s.listener, &kStreamEvents, &s);

  std::uint8_t storage[kParamBytes];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_rectangle default_size = SPA_RECTANGLE(kDefaultWidth, kDefaultHeight);
  const spa_rectangle min_size = SPA_RECTANGLE(1, 1);
  const spa_rectangle max_size = SPA_RECTANGLE(kMaxStreamSide, kMaxStreamSide);
  const spa_fraction default_rate = SPA_FRACTION(kDefaultFrameRate, 1);
  const spa_fraction min_rate = SPA_FRACTION(0, 1);
  const spa_fraction max_rate = SPA_FRACTION(kMaxFrameRate, 1);
  const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
      SPA_POD_CHOICE_RANGE_Rectangle(&default_size, &min_size, &max_size),
      SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&default_rate, &min_rate, &max_rate)));
  const int connected = pw_stream_connect(
      s.stream, PW_DIRECTION_INPUT, node,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
      &format, 1);
  pw_thread_loop_unlock(s.loop);
  if (connected < 0) {
    error = std::string("cannot connect to the stream: ") + std::strerror(-connected);
    return nullptr;
  }
  return self;
}

PipeWireStream::~PipeWireStream() = default;

PipeWireStream::Wait PipeWireStream::wait(std::uint32_t timeout_ms) {
  State& s = *state_;
  pw_thread_loop_lock(s.loop);
  timespec deadline{};
  pw_thread_loop_get_time(s.loop, &deadline,
                          static_cast<std::int64_t>(timeout_ms) * SPA_NSEC_PER_MSEC);
  while (!s.news && !s.lost) {
    if (pw_thread_loop_timed_wait_full(s.loop, &deadline) != 0) break;
  }
  const Wait result = s.lost ? Wait::kLost : s.news ? Wait::kNews : Wait::kTimeout;
  pw_thread_loop_unlock(s.loop);
  return result;
}

bool PipeWireStream::take(StreamUpdate& update) {
  State& s = *state_;
  pw_thread_loop_lock(s.loop);
  const bool any = s.pending.picture || s.pending.pointer_changed;
  update = s.pending;
  s.pending.picture = false;
  s.pending.damage = {};
  s.pending.pointer_changed = false;
  s.pending.pointer.shape_changed = false;
  s.news = false;
  pw_thread_loop_unlock(s.loop);
  return any;
}

std::int32_t PipeWireStream::width() const {
  pw_thread_loop_lock(state_->loop);
  const std::int32_t value = state_->width;
  pw_thread_loop_unlock(state_->loop);
  return value;
}

std::int32_t PipeWireStream::height() const {
  pw_thread_loop_lock(state_->loop);
  const std::int32_t value = state_->height;
  pw_thread_loop_unlock(state_->loop);
  return value;
}

bool PipeWireStream::copy_area(DesktopImage& image, const DesktopRect& area) {
  State& s = *state_;
  pw_thread_loop_lock(s.loop);
  bool copied = false;
  if (s.held && image.width == s.width && image.height == s.height) {
    const spa_data& data = s.held->buffer->datas[0];
    const auto* base = static_cast<const std::uint8_t*>(data.data) + data.chunk->offset;
    const std::size_t stride = data.chunk->stride > 0 ? static_cast<std::size_t>(data.chunk->stride)
                                                      : static_cast<std::size_t>(s.width) * 4;
    const DesktopRect clip{std::clamp(area.left, 0, s.width), std::clamp(area.top, 0, s.height),
                           std::clamp(area.right, 0, s.width),
                           std::clamp(area.bottom, 0, s.height)};
    const std::size_t needed = stride * static_cast<std::size_t>(s.height);
    if (data.maxsize >= needed && clip.width() > 0 && clip.height() > 0) {
      const std::size_t bytes = static_cast<std::size_t>(clip.width()) * 4;
      for (std::int32_t y = clip.top; y < clip.bottom; ++y) {
        std::memcpy(
            image.row(y) + static_cast<std::size_t>(clip.left) * 4,
            base + stride * static_cast<std::size_t>(y) + static_cast<std::size_t>(clip.left) * 4,
            bytes);
      }
      copied = true;
    } else {
      copied = data.maxsize >= needed;
    }
  }
  pw_thread_loop_unlock(s.loop);
  return copied;
}

}  // namespace tolvi::platform
