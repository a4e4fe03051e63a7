// X25519 (RFC 7748 section 5), constant time.
//
// Field elements mod p = 2^255 - 19 are five 51-bit limbs in 64-bit words; products are
// accumulated in 128-bit integers and 2^255 = 19 (mod p) folds the high limbs back. Nothing
// branches on, or indexes memory with, a secret: the ladder swaps its points with an XOR mask
// and the final reduction selects with a mask.
#include "crypto/x25519.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/secure_zero.h"
#include "crypto/x25519_test_hook.h"

namespace tolvi {
namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;  // GCC/Clang extension, also in mingw-w64

constexpr u64 kMask51 = (u64{1} << 51) - 1;
// p in limbs, and 2p for subtraction without underflow.
constexpr u64 kP0 = kMask51 - 18;  // 2^51 - 19
constexpr u64 kP1234 = kMask51;    // 2^51 - 1
constexpr u64 kTwoP0 = 2 * kP0;
constexpr u64 kTwoP1234 = 2 * kP1234;
constexpr u64 kA24 = 121665;  // (486662 - 2) / 4
constexpr int kTopScalarBit = 254;

// Limb bounds kept by the code below: outputs of mul/sq/mul_a24 have limbs < 2^51 + 2^12;
// add/sub outputs < 2^53; mul/sq accept limbs < 2^54 without overflowing 128 bits.
struct Fe {
  u64 v[5];
};

inline void fe_add(Fe& h, const Fe& f, const Fe& g) {
  for (int i = 0; i < 5; ++i) h.v[i] = f.v[i] + g.v[i];
}

// h = f - g + 2p; g must have limbs below 2^52 - 38 (a mul/sq output or a decoded input).
inline void fe_sub(Fe& h, const Fe& f, const Fe& g) {
  h.v[0] = f.v[0] + kTwoP0 - g.v[0];
  for (int i = 1; i < 5; ++i) h.v[i] = f.v[i] + kTwoP1234 - g.v[i];
}

// Carries the five 128-bit column sums into limbs below 2^51 (limb 1 may reach 2^51 + 2^12).
inline void fe_carry(Fe& h, u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
  r1 += static_cast<u64>(r0 >> 51);
  u64 h0 = static_cast<u64>(r0) & kMask51;
  r2 += static_cast<u64>(r1 >> 51);
  const u64 h1 = static_cast<u64>(r1) & kMask51;
  r3 += static_cast<u64>(r2 >> 51);
  h.v[2] = static_cast<u64>(r2) & kMask51;
  r4 += static_cast<u64>(r3 >> 51);
  h.v[3] = static_cast<u64>(r3) & kMask51;
  h.v[4] = static_cast<u64>(r4) & kMask51;
  h0 += static_cast<u64>(r4 >> 51) * 19;
  h.v[0] = h0 & kMask51;
  h.v[1] = h1 + (h0 >> 51);
}

inline void fe_mul(Fe& h, const Fe& f, const Fe& g) {
  const u64 f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const u64 g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4];
  const u64 g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
  const u128 r0 =
      u128{f0} * g0 + u128{f1} * g4_19 + u128{f2} * g3_19 + u128{f3} * g2_19 + u128{f4} * g1_19;
  const u128 r1 =
      u128{f0} * g1 + u128{f1} * g0 + u128{f2} * g4_19 + u128{f3} * g3_19 + u128{f4} * g2_19;
  const u128 r2 =
      u128{f0} * g2 + u128{f1} * g1 + u128{f2} * g0 + u128{f3} * g4_19 + u128{f4} * g3_19;
  const u128 r3 = u128{f0} * g3 + u128{f1} * g2 + u128{f2} * g1 + u128{f3} * g0 + u128{f4} * g4_19;
  const u128 r4 = u128{f0} * g4 + u128{f1} * g3 + u128{f2} * g2 + u128{f3} * g1 + u128{f4} * g0;
  fe_carry(h, r0, r1, r2, r3, r4);
}

inline void fe_sq(Fe& h, const Fe& f) {
  const u64 f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const u64 f0_2 = 2 * f0, f1_2 = 2 * f1;
  const u64 f1_38 = 38 * f1, f2_38 = 38 * f2, f3_38 = 38 * f3;
  const u64 f3_19 = 19 * f3, f4_19 = 19 * f4;
  const u128 r0 = u128{f0} * f0 + u128{f1_38} * f4 + u128{f2_38} * f3;
  const u128 r1 = u128{f0_2} * f1 + u128{f2_38} * f4 + u128{f3_19} * f3;
  const u128 r2 = u128{f0_2} * f2 + u128{f1} * f1 + u128{f3_38} * f4;
  const u128 r3 = u128{f0_2} * f3 + u128{f1_2} * f2 + u128{f4_19} * f4;
  const u128 r4 = u128{f0_2} * f4 + u128{f1_2} * f3 + u128{f2} * f2;
  fe_carry(h, r0, r1, r2, r3, r4);
}

inline void fe_sq_n(Fe& h, const Fe& f, int n) {
  fe_sq(h, f);
  for (int i = 1; i < n; ++i) fe_sq(h, h);
}

inline void fe_mul_a24(Fe& h, const Fe& f) {
  fe_carry(h, u128{f.v[0]} * kA24, u128{f.v[1]} * kA24, u128{f.v[2]} * kA24, u128{f.v[3]} * kA24,
           u128{f.v[4]} * kA24);
}

// Swaps f and g when swap is 1, leaves them when it is 0, without a branch.
inline void fe_cswap(Fe& f, Fe& g, u64 swap) {
  const u64 mask = 0 - swap;
  for (int i = 0; i < 5; ++i) {
    const u64 t = mask & (f.v[i] ^ g.v[i]);
    f.v[i] ^= t;
    g.v[i] ^= t;
  }
}

u64 load64_le(const std::uint8_t* p) {
  u64 w = 0;
  for (int i = 7; i >= 0; --i) w = (w << 8) | p[i];
  return w;
}

void store64_le(std::uint8_t* p, u64 w) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(w >> (8 * i));
}

// Decodes 32 little-endian bytes; bit 255 falls outside the five limbs and is ignored.
void fe_frombytes(Fe& h, const std::uint8_t s[32]) {
  const u64 w0 = load64_le(s), w1 = load64_le(s + 8), w2 = load64_le(s + 16),
            w3 = load64_le(s + 24);
  h.v[0] = w0 & kMask51;
  h.v[1] = ((w0 >> 51) | (w1 << 13)) & kMask51;
  h.v[2] = ((w1 >> 38) | (w2 << 26)) & kMask51;
  h.v[3] = ((w2 >> 25) | (w3 << 39)) & kMask51;
  h.v[4] = (w3 >> 12) & kMask51;
}

// Replaces h by h - p when h >= p; selects with a mask.
inline void fe_subtract_p_if_needed(Fe& h) {
  Fe t;
  u64 borrow = 0;
  for (int i = 0; i < 5; ++i) {
    const u64 d = h.v[i] - (i == 0 ? kP0 : kP1234) - borrow;
    borrow = d >> 63;
    t.v[i] = d & kMask51;
  }
  const u64 keep = 0 - borrow;  // all ones when h < p
  for (int i = 0; i < 5; ++i) h.v[i] = (h.v[i] & keep) | (t.v[i] & ~keep);
}

// Encodes the value fully reduced mod p as 32 little-endian bytes.
void fe_tobytes(std::uint8_t s[32], const Fe& f) {
  Fe h = f;
  // Two carry passes leave every limb below 2^51 and the value below 2^255 < 2p.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 4; ++i) {
      h.v[i + 1] += h.v[i] >> 51;
      h.v[i] &= kMask51;
    }
    h.v[0] += 19 * (h.v[4] >> 51);
    h.v[4] &= kMask51;
  }
  fe_subtract_p_if_needed(h);
  fe_subtract_p_if_needed(h);
  store64_le(s, h.v[0] | (h.v[1] << 51));
  store64_le(s + 8, (h.v[1] >> 13) | (h.v[2] << 38));
  store64_le(s + 16, (h.v[2] >> 26) | (h.v[3] << 25));
  store64_le(s + 24, (h.v[3] >> 39) | (h.v[4] << 12));
  secure_zero(&h, sizeof(h));
}

// The multiplication used by the ladder and the inversion; the faulty variant exists only for
// the test seam.
template <bool kFaulty>
inline void ladder_mul(Fe& h, const Fe& f, const Fe& g) {
  fe_mul(h, f, g);
  if constexpr (kFaulty) h.v[0] ^= 1;
}

// z^(p - 2) = z^(2^255 - 21) by the usual chain: 254 squarings and 11 multiplications.
template <bool kFaulty>
void fe_invert(Fe& out, const Fe& z) {
  Fe z2, z9, z11, z_5_0, z_10_0, z_20_0, z_50_0, z_100_0, t;
  fe_sq(z2, z);                             // 2
  fe_sq_n(t, z2, 2);                        // 8
  ladder_mul<kFaulty>(z9, t, z);            // 9
  ladder_mul<kFaulty>(z11, z9, z2);         // 11
  fe_sq(t, z11);                            // 22
  ladder_mul<kFaulty>(z_5_0, t, z9);        // 2^5 - 1
  fe_sq_n(t, z_5_0, 5);                     // 2^10 - 2^5
  ladder_mul<kFaulty>(z_10_0, t, z_5_0);    // 2^10 - 1
  fe_sq_n(t, z_10_0, 10);                   // 2^20 - 2^10
  ladder_mul<kFaulty>(z_20_0, t, z_10_0);   // 2^20 - 1
  fe_sq_n(t, z_20_0, 20);                   // 2^40 - 2^20
  ladder_mul<kFaulty>(t, t, z_20_0);        // 2^40 - 1
  fe_sq_n(t, t, 10);                        // 2^50 - 2^10
  ladder_mul<kFaulty>(z_50_0, t, z_10_0);   // 2^50 - 1
  fe_sq_n(t, z_50_0, 50);                   // 2^100 - 2^50
  ladder_mul<kFaulty>(z_100_0, t, z_50_0);  // 2^100 - 1
  fe_sq_n(t, z_100_0, 100);                 // 2^200 - 2^100
  ladder_mul<kFaulty>(t, t, z_100_0);       // 2^200 - 1
  fe_sq_n(t, t, 50);                        // 2^250 - 2^50
  ladder_mul<kFaulty>(t, t, z_50_0);        // 2^250 - 1
  fe_sq_n(t, t, 5);                         // 2^255 - 2^5
  ladder_mul<kFaulty>(out, t, z11);         // 2^255 - 21
  Fe* secrets[] = {&z2, &z9, &z11, &z_5_0, &z_10_0, &z_20_0, &z_50_0, &z_100_0, &t};
  for (Fe* s : secrets) secure_zero(s, sizeof(Fe));
}

// Everything derived from the scalar, kept together so that it can be wiped in one go.
struct Ladder {
  std::uint8_t e[32];
  Fe x1, x2, z2, x3, z3;
  Fe a, aa, b, bb, e_, c, d, da, cb;
  u64 swap;
};

template <bool kFaulty>
void scalar_mult(std::uint8_t out[32], const std::uint8_t scalar[32], const std::uint8_t u[32]) {
  Ladder s;
  for (int i = 0; i < 32; ++i) s.e[i] = scalar[i];
  s.e[0] &= 248;
  s.e[31] &= 127;
  s.e[31] |= 64;

  fe_frombytes(s.x1, u);
  s.x2 = Fe{{1, 0, 0, 0, 0}};
  s.z2 = Fe{{0, 0, 0, 0, 0}};
  s.x3 = s.x1;
  s.z3 = Fe{{1, 0, 0, 0, 0}};
  s.swap = 0;

  for (int t = kTopScalarBit; t >= 0; --t) {
    // The position t is public; only the bit's value is secret.
    const u64 bit = (s.e[t >> 3] >> (t & 7)) & 1;
    s.swap ^= bit;
    fe_cswap(s.x2, s.x3, s.swap);
    fe_cswap(s.z2, s.z3, s.swap);
    s.swap = bit;

    fe_add(s.a, s.x2, s.z2);
    fe_sq(s.aa, s.a);
    fe_sub(s.b, s.x2, s.z2);
    fe_sq(s.bb, s.b);
    fe_sub(s.e_, s.aa, s.bb);
    fe_add(s.c, s.x3, s.z3);
    fe_sub(s.d, s.x3, s.z3);
    ladder_mul<kFaulty>(s.da, s.d, s.a);
    ladder_mul<kFaulty>(s.cb, s.c, s.b);
    fe_add(s.x3, s.da, s.cb);
    fe_sq(s.x3, s.x3);
    fe_sub(s.z3, s.da, s.cb);
    fe_sq(s.z3, s.z3);
    ladder_mul<kFaulty>(s.z3, s.z3, s.x1);
    ladder_mul<kFaulty>(s.x2, s.aa, s.bb);
    fe_mul_a24(s.a, s.e_);  // a is free again: reuse it for a24 * E
    fe_add(s.a, s.a, s.aa);
    ladder_mul<kFaulty>(s.z2, s.e_, s.a);
  }
  fe_cswap(s.x2, s.x3, s.swap);
  fe_cswap(s.z2, s.z3, s.swap);

  fe_invert<kFaulty>(s.z3, s.z2);  // z3 is no longer needed: it holds 1/z2
  ladder_mul<kFaulty>(s.x2, s.x2, s.z3);
  fe_tobytes(out, s.x2);
  secure_zero(&s, sizeof(s));
}

std::atomic<bool> g_faulty_multiplication{false};

}  // namespace

void x25519(std::uint8_t out[32], const std::uint8_t scalar[32], const std::uint8_t u[32]) {
  if (g_faulty_multiplication.load(std::memory_order_relaxed)) {
    scalar_mult<true>(out, scalar, u);
  } else {
    scalar_mult<false>(out, scalar, u);
  }
}

void x25519_base(std::uint8_t out[32], const std::uint8_t scalar[32]) {
  static constexpr std::uint8_t kBasePoint[32] = {9};
  x25519(out, scalar, kBasePoint);
}

namespace crypto_testing {

void inject_field_multiplication_fault(bool on) {
  g_faulty_multiplication.store(on, std::memory_order_relaxed);
}

}  // namespace crypto_testing
}  // namespace tolvi
