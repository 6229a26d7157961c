// Arithmetic modulo p = 2^255 - 19 in five unsigned 64-bit limbs of 51 bits, with 128-bit
// products. Only for compilers with unsigned __int128 (x86-64); field25519_32.h is the
// portable representation. field25519.h picks one and adds the operations built on these.
//
// Limb bounds: fe_mul, fe_sq and fe_mul_small return limbs below 2^51 + 2^17 ("carried").
// fe_add of two carried values gives limbs below 2^53; fe_sub takes a minuend with limbs
// below 2^53 and a subtrahend with limbs below 2^53 - 76 and gives limbs below 2^54.
// fe_mul, fe_sq and fe_mul_small accept limbs below 2^54.
#pragma once

#include <cstdint>

namespace field64 {

struct Fe {
  uint64_t v[5];
};

using u128 = unsigned __int128;
constexpr uint64_t kMask51 = (uint64_t(1) << 51) - 1;

inline uint64_t load64_le(const uint8_t* s) {
  uint64_t r = 0;
  for (int i = 7; i >= 0; --i) r = r << 8 | s[i];
  return r;
}

// fe_add of three carried values still makes a minuend for fe_sub and an operand of the
// multiplications, so formulas may skip a carry that the 10-limb form needs.
constexpr bool kWideLimbs = true;

inline void fe_set(Fe& h, uint32_t small) { h = Fe{{small, 0, 0, 0, 0}}; }

// All 256 bits are taken; bit 255 counts as 2^255, which is 19 modulo p.
inline void fe_from_bytes(Fe& h, const uint8_t s[32]) {
  uint64_t w0 = load64_le(s), w1 = load64_le(s + 8), w2 = load64_le(s + 16),
           w3 = load64_le(s + 24);
  h.v[0] = (w0 & kMask51) + 19 * (w3 >> 63);
  h.v[1] = (w0 >> 51 | w1 << 13) & kMask51;
  h.v[2] = (w1 >> 38 | w2 << 26) & kMask51;
  h.v[3] = (w2 >> 25 | w3 << 39) & kMask51;
  h.v[4] = (w3 >> 12) & kMask51;
}

// Propagates carries so that every limb is below 2^51, except limb 0 which may exceed it by
// 19 times the carry out of limb 4.
inline void fe_carry(Fe& h) {
  uint64_t c;
  c = h.v[0] >> 51; h.v[0] &= kMask51; h.v[1] += c;
  c = h.v[1] >> 51; h.v[1] &= kMask51; h.v[2] += c;
  c = h.v[2] >> 51; h.v[2] &= kMask51; h.v[3] += c;
  c = h.v[3] >> 51; h.v[3] &= kMask51; h.v[4] += c;
  c = h.v[4] >> 51; h.v[4] &= kMask51; h.v[0] += 19 * c;
}

// Writes the canonical value (0 <= value < p) as 32 little-endian bytes.
inline void fe_to_bytes(uint8_t s[32], const Fe& f) {
  Fe h = f;
  fe_carry(h);
  fe_carry(h);  // now every limb is below 2^51 and the value below 2^255 + 19 * 2
  // q = 1 exactly when the value is at least p: the carry out of value + 19 past bit 255.
  uint64_t q = (h.v[0] + 19) >> 51;
  q = (h.v[1] + q) >> 51;
  q = (h.v[2] + q) >> 51;
  q = (h.v[3] + q) >> 51;
  q = (h.v[4] + q) >> 51;
  h.v[0] += 19 * q;
  uint64_t c;
  c = h.v[0] >> 51; h.v[0] &= kMask51; h.v[1] += c;
  c = h.v[1] >> 51; h.v[1] &= kMask51; h.v[2] += c;
  c = h.v[2] >> 51; h.v[2] &= kMask51; h.v[3] += c;
  c = h.v[3] >> 51; h.v[3] &= kMask51; h.v[4] += c;
  h.v[4] &= kMask51;  // drops 2^255, completing the subtraction of p
  uint64_t w[4] = {h.v[0] | h.v[1] << 51, h.v[1] >> 13 | h.v[2] << 38,
                   h.v[2] >> 26 | h.v[3] << 25, h.v[3] >> 39 | h.v[4] << 12};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 8; ++j) s[8 * i + j] = uint8_t(w[i] >> (8 * j));
}

inline void fe_add(Fe& h, const Fe& f, const Fe& g) {
  for (int i = 0; i < 5; ++i) h.v[i] = f.v[i] + g.v[i];
}

// f - g + 4p, so that no limb goes below zero.
inline void fe_sub(Fe& h, const Fe& f, const Fe& g) {
  constexpr uint64_t k4p0 = (uint64_t(1) << 53) - 76, k4pi = (uint64_t(1) << 53) - 4;
  h.v[0] = f.v[0] + k4p0 - g.v[0];
  for (int i = 1; i < 5; ++i) h.v[i] = f.v[i] + k4pi - g.v[i];
}

// Reduces five 128-bit column sums into carried limbs.
inline void fe_reduce128(Fe& h, u128 t0, u128 t1, u128 t2, u128 t3, u128 t4) {
  t1 += uint64_t(t0 >> 51);
  t2 += uint64_t(t1 >> 51);
  t3 += uint64_t(t2 >> 51);
  t4 += uint64_t(t3 >> 51);
  u128 x = u128(uint64_t(t0) & kMask51) + u128(uint64_t(t4 >> 51)) * 19;
  h.v[0] = uint64_t(x) & kMask51;
  h.v[1] = (uint64_t(t1) & kMask51) + uint64_t(x >> 51);
  h.v[2] = uint64_t(t2) & kMask51;
  h.v[3] = uint64_t(t3) & kMask51;
  h.v[4] = uint64_t(t4) & kMask51;
}

inline void fe_mul(Fe& h, const Fe& f, const Fe& g) {
  const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const uint64_t g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4];
  const uint64_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
  u128 t0 = u128(f0) * g0 + u128(f1) * g4_19 + u128(f2) * g3_19 + u128(f3) * g2_19 +
            u128(f4) * g1_19;
  u128 t1 = u128(f0) * g1 + u128(f1) * g0 + u128(f2) * g4_19 + u128(f3) * g3_19 +
            u128(f4) * g2_19;
  u128 t2 = u128(f0) * g2 + u128(f1) * g1 + u128(f2) * g0 + u128(f3) * g4_19 +
            u128(f4) * g3_19;
  u128 t3 = u128(f0) * g3 + u128(f1) * g2 + u128(f2) * g1 + u128(f3) * g0 + u128(f4) * g4_19;
  u128 t4 = u128(f0) * g4 + u128(f1) * g3 + u128(f2) * g2 + u128(f3) * g1 + u128(f4) * g0;
  fe_reduce128(h, t0, t1, t2, t3, t4);
}

inline void fe_sq(Fe& h, const Fe& f) {
  const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const uint64_t f0_2 = 2 * f0, f1_2 = 2 * f1, f1_38 = 38 * f1, f2_38 = 38 * f2,
                 f3_38 = 38 * f3, f3_19 = 19 * f3, f4_19 = 19 * f4;
  u128 t0 = u128(f0) * f0 + u128(f1_38) * f4 + u128(f2_38) * f3;
  u128 t1 = u128(f0_2) * f1 + u128(f2_38) * f4 + u128(f3_19) * f3;
  u128 t2 = u128(f0_2) * f2 + u128(f1) * f1 + u128(f3_38) * f4;
  u128 t3 = u128(f0_2) * f3 + u128(f1_2) * f2 + u128(f4_19) * f4;
  u128 t4 = u128(f0_2) * f4 + u128(f1_2) * f3 + u128(f2) * f2;
  fe_reduce128(h, t0, t1, t2, t3, t4);
}

// h = f * c for a small constant c (below 2^20).
inline void fe_mul_small(Fe& h, const Fe& f, uint32_t c) {
  fe_reduce128(h, u128(f.v[0]) * c, u128(f.v[1]) * c, u128(f.v[2]) * c, u128(f.v[3]) * c,
               u128(f.v[4]) * c);
}

// Swaps f and g when bit is 1, leaves them when it is 0, without branching on bit.
inline void fe_cswap(Fe& f, Fe& g, uint32_t bit) {
  const uint64_t mask = 0 - uint64_t(bit);
  for (int i = 0; i < 5; ++i) {
    uint64_t x = (f.v[i] ^ g.v[i]) & mask;
    f.v[i] ^= x;
    g.v[i] ^= x;
  }
}

}  // namespace field64
