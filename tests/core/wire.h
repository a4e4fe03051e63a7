#pragma once
// Byte-level helpers for the peer side of core tests: frames built and read by hand, so the
// tests do not rely on the code they check.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crypto/record_key.h"
#include "platform/net.h"

namespace tolvi::test {

inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline std::uint32_t get_u32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::vector<std::uint8_t> plain_frame(std::uint8_t type,
                                             const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> f{type};
  put_u32(f, static_cast<std::uint32_t>(payload.size()));
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

inline std::vector<std::uint8_t> sealed_frame(RecordKey& key, std::uint8_t type,
                                              const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> plain{type};
  plain.insert(plain.end(), payload.begin(), payload.end());
  std::vector<std::uint8_t> sealed;
  EXPECT_TRUE(key.seal(plain.data(), plain.size(), sealed));
  std::vector<std::uint8_t> f;
  put_u32(f, static_cast<std::uint32_t>(sealed.size()));
  f.insert(f.end(), sealed.begin(), sealed.end());
  return f;
}

inline bool write_all(platform::Socket& s, const std::vector<std::uint8_t>& bytes) {
  const platform::SendPart part{bytes.data(), bytes.size()};
  return s.send_all(&part, 1);
}

inline bool read_exact(platform::Socket& s, std::uint8_t* out, std::size_t n) {
  std::size_t have = 0;
  while (have < n) {
    const long got = s.receive_some(out + have, n - have);
    if (got <= 0) return false;
    have += static_cast<std::size_t>(got);
  }
  return true;
}

struct PlainMessage {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
};

inline bool read_plain(platform::Socket& s, PlainMessage& m) {
  std::uint8_t header[5];
  if (!read_exact(s, header, 5)) return false;
  m.type = header[0];
  m.payload.resize(get_u32(header + 1));
  return m.payload.empty() || read_exact(s, m.payload.data(), m.payload.size());
}

// Reads one sealed frame; `frame_bytes` gets its size on the wire.
inline bool read_sealed(platform::Socket& s, RecordKey& key, PlainMessage& m,
                        std::size_t* frame_bytes = nullptr) {
  std::uint8_t header[4];
  if (!read_exact(s, header, 4)) return false;
  std::vector<std::uint8_t> record(get_u32(header));
  if (!read_exact(s, record.data(), record.size())) return false;
  std::vector<std::uint8_t> plain;
  if (!key.open(record.data(), record.size(), plain) || plain.empty()) return false;
  m.type = plain[0];
  m.payload.assign(plain.begin() + 1, plain.end());
  if (frame_bytes) *frame_bytes = 4 + record.size();
  return true;
}

// True when the peer closed the stream (nothing more to read).
inline bool at_end(platform::Socket& s) {
  std::uint8_t byte;
  return s.receive_some(&byte, 1) == 0;
}

}  // namespace tolvi::test
