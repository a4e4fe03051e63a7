#include "peer/rfb_messages.h"

#include <algorithm>

namespace tolvi::bench {

namespace {

// The longest text (a reason, a name, cut text) and the largest rectangle data accepted: far
// above what a server sends, far below what would exhaust the benchmark's memory.
constexpr std::uint32_t kMaxText = 1u << 20;
constexpr std::uint64_t kMaxRectBytes = 1ull << 28;
constexpr std::size_t kTightPixel = 3;      // a 24-bit true-colour pixel in Tight
constexpr std::size_t kPixel = 4;           // the client's 32-bit pixels
constexpr std::size_t kTightRawLimit = 12;  // Tight data shorter than this is not compressed

// Reads big-endian values from the bytes received so far; `short_` is set when a read went
// past them, after which every read gives 0.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

  bool has(std::uint64_t n) const { return !short_ && in_.size() - at_ >= n; }
  bool skip(std::uint64_t n) {
    if (!has(n)) {
      short_ = true;
      return false;
    }
    at_ += static_cast<std::size_t>(n);
    return true;
  }
  std::uint32_t u8() { return has(1) ? in_[at_++] : fail(); }
  std::uint32_t u16() {
    if (!has(2)) return fail();
    const std::uint32_t v = static_cast<std::uint32_t>(in_[at_]) << 8 | in_[at_ + 1];
    at_ += 2;
    return v;
  }
  std::uint32_t u32() {
    if (!has(4)) return fail();
    const std::uint32_t v = static_cast<std::uint32_t>(in_[at_]) << 24 |
                            static_cast<std::uint32_t>(in_[at_ + 1]) << 16 |
                            static_cast<std::uint32_t>(in_[at_ + 2]) << 8 | in_[at_ + 3];
    at_ += 4;
    return v;
  }
  std::string text(std::uint32_t n) {
    if (!has(n)) {
      short_ = true;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(in_.data() + at_), n);
    at_ += n;
    return s;
  }
  // Tight's compact length: 7 bits a byte, up to three bytes (the third gives 8).
  std::uint32_t compact_length() {
    std::uint32_t b = u8();
    std::uint32_t length = b & 0x7f;
    if (b & 0x80) {
      b = u8();
      length |= (b & 0x7f) << 7;
      if (b & 0x80) length |= u8() << 14;
    }
    return length;
  }
  bool short_read() const { return short_; }
  std::size_t position() const { return at_; }

 private:
  std::uint32_t fail() {
    short_ = true;
    return 0;
  }

  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
  bool short_ = false;
};

RfbStep need_more() { return {}; }
RfbStep done(const Reader& r) { return {RfbStatus::kDone, r.position(), {}}; }
RfbStep error(std::string what) { return {RfbStatus::kError, 0, std::move(what)}; }

// The bytes of a Tight rectangle after its header. Empty error text: fine (or more needed,
// which the reader records).
std::string skip_tight(Reader& r, std::uint32_t w, std::uint32_t h) {
  const std::uint32_t control = r.u8();
  const std::uint32_t kind = control >> 4;
  if (kind == 0x8) {  // fill: one pixel
    r.skip(kTightPixel);
    return {};
  }
  if (kind == 0x9) {  // JPEG
    r.skip(r.compact_length());
    return {};
  }
  if (kind > 0x9) return "unknown Tight compression " + std::to_string(kind);
  // Basic compression, with a filter when bit 6 says so.
  std::uint64_t row_bytes = static_cast<std::uint64_t>(w) * kTightPixel;
  if (control & 0x40) {
    const std::uint32_t filter = r.u8();
    if (filter == 1) {  // palette
      const std::uint32_t colours = r.u8() + 1;
      r.skip(static_cast<std::uint64_t>(colours) * kTightPixel);
      row_bytes = colours == 2 ? (w + 7) / 8 : w;
    } else if (filter != 0 && filter != 2) {  // copy and gradient keep whole pixels
      return "unknown Tight filter " + std::to_string(filter);
    }
  }
  const std::uint64_t size = row_bytes * h;
  if (size > kMaxRectBytes) return "Tight rectangle too large";
  if (size < kTightRawLimit) {
    r.skip(size);
  } else {
    r.skip(r.compact_length());
  }
  return {};
}

}  // namespace

RfbStep parse_security_types(std::span<const std::uint8_t> in, RfbSecurityTypes& out) {
  Reader r(in);
  const std::uint32_t count = r.u8();
  if (count == 0) {
    const std::uint32_t length = r.u32();
    if (length > kMaxText) return error("refusal reason too long");
    std::string reason = r.text(length);
    if (r.short_read()) return need_more();
    out.types.clear();
    out.refusal = std::move(reason);
    return done(r);
  }
  if (!r.has(count)) return need_more();
  out.types.clear();
  for (std::uint32_t i = 0; i < count; ++i) out.types.push_back(static_cast<std::uint8_t>(r.u8()));
  out.refusal.clear();
  return done(r);
}

RfbStep parse_security_result(std::span<const std::uint8_t> in, RfbSecurityResult& out) {
  Reader r(in);
  const std::uint32_t code = r.u32();
  if (r.short_read()) return need_more();
  std::string reason;
  if (code != 0) {
    const std::uint32_t length = r.u32();
    if (length > kMaxText) return error("failure reason too long");
    reason = r.text(length);
    if (r.short_read()) return need_more();
  }
  out.code = code;
  out.reason = std::move(reason);
  return done(r);
}

RfbStep parse_server_init(std::span<const std::uint8_t> in, RfbServerInit& out) {
  constexpr std::size_t kPixelFormat = 16;
  Reader r(in);
  const std::uint32_t width = r.u16();
  const std::uint32_t height = r.u16();
  r.skip(kPixelFormat);
  const std::uint32_t length = r.u32();
  if (r.short_read()) return need_more();
  if (length > kMaxText) return error("desktop name too long");
  std::string name = r.text(length);
  if (r.short_read()) return need_more();
  out.width = static_cast<std::uint16_t>(width);
  out.height = static_cast<std::uint16_t>(height);
  out.name = std::move(name);
  return done(r);
}

RfbStep parse_server_message(std::span<const std::uint8_t> in, RfbServerMessage& out) {
  Reader r(in);
  RfbServerMessage message;
  message.type = static_cast<std::uint8_t>(r.u8());
  if (r.short_read()) return need_more();
  switch (message.type) {
    case 0: {  // FramebufferUpdate
      r.skip(1);
      const std::uint32_t count = r.u16();
      for (std::uint32_t i = 0; i < count && !r.short_read(); ++i) {
        r.u16();  // x
        r.u16();  // y
        const std::uint32_t w = r.u16();
        const std::uint32_t h = r.u16();
        const auto encoding = static_cast<std::int32_t>(r.u32());
        if (r.short_read()) break;
        message.rectangles = static_cast<std::uint16_t>(message.rectangles + 1);
        if (encoding == kRfbLastRect) break;
        if (encoding == kRfbDesktopSize) {
          message.resized = true;
          message.width = static_cast<std::uint16_t>(w);
          message.height = static_cast<std::uint16_t>(h);
          continue;
        }
        message.pixels += static_cast<std::uint64_t>(w) * h;
        switch (encoding) {
          case kRfbRaw: {
            const std::uint64_t size = static_cast<std::uint64_t>(w) * h * kPixel;
            if (size > kMaxRectBytes) return error("raw rectangle too large");
            r.skip(size);
            break;
          }
          case kRfbCopyRect:
            r.skip(4);
            break;
          case kRfbZrle: {
            const std::uint32_t length = r.u32();
            if (length > kMaxRectBytes) return error("ZRLE rectangle too large");
            r.skip(length);
            break;
          }
          case kRfbTight: {
            std::string failed = skip_tight(r, w, h);
            if (!failed.empty()) return error(std::move(failed));
            break;
          }
          default:
            return error("unrequested encoding " + std::to_string(encoding));
        }
      }
      break;
    }
    case 1: {  // SetColourMapEntries
      r.skip(3);
      r.skip(static_cast<std::uint64_t>(r.u16()) * 6);
      break;
    }
    case 2:  // Bell
      break;
    case 3: {  // ServerCutText
      r.skip(3);
      const std::uint32_t length = r.u32();
      if (!r.short_read() && length > kMaxText) return error("cut text too long");
      r.skip(length);
      break;
    }
    default:
      return error("unknown server message " + std::to_string(message.type));
  }
  if (r.short_read()) return need_more();
  out = message;
  return done(r);
}

namespace {
void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xffff);
}
}  // namespace

std::vector<std::uint8_t> rfb_set_pixel_format_32() {
  // 32 bits, depth 24, little-endian, true colour, 8 bits each of red, green, blue at 16, 8, 0.
  std::vector<std::uint8_t> out = {0, 0, 0, 0, 32, 24, 0, 1};
  put16(out, 255);
  put16(out, 255);
  put16(out, 255);
  out.insert(out.end(), {16, 8, 0, 0, 0, 0});
  return out;
}

std::vector<std::uint8_t> rfb_set_encodings(std::span<const std::int32_t> encodings) {
  std::vector<std::uint8_t> out = {2, 0};
  put16(out, static_cast<std::uint32_t>(encodings.size()));
  for (const std::int32_t e : encodings) put32(out, static_cast<std::uint32_t>(e));
  return out;
}

std::vector<std::uint8_t> rfb_update_request(bool incremental, std::uint16_t width,
                                             std::uint16_t height) {
  std::vector<std::uint8_t> out = {3, static_cast<std::uint8_t>(incremental ? 1 : 0)};
  put16(out, 0);
  put16(out, 0);
  put16(out, width);
  put16(out, height);
  return out;
}

}  // namespace tolvi::bench
