// Arithmetic modulo p = 2^255 - 19 in ten signed 32-bit limbs, alternately 26 and 25 bits
// wide (limb i weighs 2^ceil(25.5 i)), with 32 x 32 -> 64-bit products only. Portable: this
// is the representation of 32-bit builds (the installer on the medium). field25519.h picks
// one representation and adds the operations built on these.
//
// Limb bounds: fe_mul, fe_sq and fe_mul_small return limbs of magnitude at most
// 2^25 + 2^17 ("carried"). fe_add and fe_sub take two carried values. fe_mul, fe_sq and
// fe_mul_small accept limbs of magnitude below 2^26.5, so any sum or difference of two
// carried values.
#pragma once

#include <cstdint>

namespace field32 {

struct Fe {
  int32_t v[10];
};

// Only sums or differences of two carried values may feed the next operation (see
// field25519_64.h, where three may).
constexpr bool kWideLimbs = false;

constexpr int kLimbBits[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};

inline void fe_set(Fe& h, uint32_t small) {
  h = Fe{{int32_t(small & 0x3ffffff), int32_t(small >> 26), 0, 0, 0, 0, 0, 0, 0, 0}};
}

// All 256 bits are taken; bit 255 counts as 2^255, which is 19 modulo p.
inline void fe_from_bytes(Fe& h, const uint8_t s[32]) {
  uint64_t acc = 0;
  int acc_bits = 0, in = 0;
  for (int i = 0; i < 10; ++i) {
    while (acc_bits < kLimbBits[i]) {
      acc |= uint64_t(s[in++]) << acc_bits;
      acc_bits += 8;
    }
    h.v[i] = int32_t(acc & ((uint64_t(1) << kLimbBits[i]) - 1));
    acc >>= kLimbBits[i];
    acc_bits -= kLimbBits[i];
  }
  h.v[0] += int32_t(19 * (acc & 1));  // acc holds bit 255 alone now
}

// Carries 64-bit column sums into limbs of the carried bounds, rounding each carry to the
// nearest so that limbs end up centred on zero.
inline void fe_carry64(Fe& out, int64_t h[10]) {
  // Written out: constant shift widths let the compiler keep this in registers.
  constexpr int64_t k25 = int64_t(1) << 25, k24 = int64_t(1) << 24;
  int64_t c;
  c = (h[0] + k25) >> 26; h[1] += c; h[0] -= c * (k25 << 1);
  c = (h[1] + k24) >> 25; h[2] += c; h[1] -= c * k25;
  c = (h[2] + k25) >> 26; h[3] += c; h[2] -= c * (k25 << 1);
  c = (h[3] + k24) >> 25; h[4] += c; h[3] -= c * k25;
  c = (h[4] + k25) >> 26; h[5] += c; h[4] -= c * (k25 << 1);
  c = (h[5] + k24) >> 25; h[6] += c; h[5] -= c * k25;
  c = (h[6] + k25) >> 26; h[7] += c; h[6] -= c * (k25 << 1);
  c = (h[7] + k24) >> 25; h[8] += c; h[7] -= c * k25;
  c = (h[8] + k25) >> 26; h[9] += c; h[8] -= c * (k25 << 1);
  c = (h[9] + k24) >> 25; h[0] += 19 * c; h[9] -= c * k25;
  c = (h[0] + k25) >> 26; h[1] += c; h[0] -= c * (k25 << 1);
  for (int i = 0; i < 10; ++i) out.v[i] = int32_t(h[i]);
}

// Writes the canonical value (0 <= value < p) as 32 little-endian bytes.
inline void fe_to_bytes(uint8_t s[32], const Fe& f) {
  // Adding 16p makes every limb positive, so floor carries never borrow.
  int64_t h[10];
  for (int i = 0; i < 10; ++i) {
    const int64_t limb_of_16p =
        i == 0 ? (int64_t(1) << 30) - 16 * 19 : (int64_t(16) << kLimbBits[i]) - 16;
    h[i] = int64_t(f.v[i]) + limb_of_16p;
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 9; ++i) {
      h[i + 1] += h[i] >> kLimbBits[i];
      h[i] &= (int64_t(1) << kLimbBits[i]) - 1;
    }
    h[0] += 19 * (h[9] >> 25);
    h[9] &= (int64_t(1) << 25) - 1;
  }
  // The value is now below 2^255 + 19, so below 2p. q = 1 exactly when it is at least p:
  // the carry out of value + 19 past bit 255.
  int64_t q = (h[0] + 19) >> 26;
  for (int i = 1; i < 10; ++i) q = (h[i] + q) >> kLimbBits[i];
  h[0] += 19 * q;
  for (int i = 0; i < 9; ++i) {
    h[i + 1] += h[i] >> kLimbBits[i];
    h[i] &= (int64_t(1) << kLimbBits[i]) - 1;
  }
  h[9] &= (int64_t(1) << 25) - 1;  // drops 2^255, completing the subtraction of p
  uint64_t acc = 0;
  int acc_bits = 0, out = 0;
  for (int i = 0; i < 10; ++i) {
    acc |= uint64_t(h[i]) << acc_bits;
    acc_bits += kLimbBits[i];
    while (acc_bits >= 8) {
      s[out++] = uint8_t(acc);
      acc >>= 8;
      acc_bits -= 8;
    }
  }
  s[out] = uint8_t(acc);  // the last 7 bits
}

inline void fe_add(Fe& h, const Fe& f, const Fe& g) {
  for (int i = 0; i < 10; ++i) h.v[i] = f.v[i] + g.v[i];
}

inline void fe_sub(Fe& h, const Fe& f, const Fe& g) {
  for (int i = 0; i < 10; ++i) h.v[i] = f.v[i] - g.v[i];
}

inline int64_t m(int32_t a, int32_t b) { return int64_t(a) * b; }

inline void fe_mul(Fe& out, const Fe& f, const Fe& g) {
  const int32_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4], f5 = f.v[5],
                f6 = f.v[6], f7 = f.v[7], f8 = f.v[8], f9 = f.v[9];
  const int32_t g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4], g5 = g.v[5],
                g6 = g.v[6], g7 = g.v[7], g8 = g.v[8], g9 = g.v[9];
  // Odd limbs sit half a bit below their nominal weight: the product of two of them
  // counts twice. Columns past limb 9 wrap around times 19 (2^255 = 19 modulo p).
  const int32_t f1_2 = 2 * f1, f3_2 = 2 * f3, f5_2 = 2 * f5, f7_2 = 2 * f7, f9_2 = 2 * f9;
  const int32_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4,
                g5_19 = 19 * g5, g6_19 = 19 * g6, g7_19 = 19 * g7, g8_19 = 19 * g8,
                g9_19 = 19 * g9;
  int64_t h[10];
  h[0] = m(f0, g0) + m(f1_2, g9_19) + m(f2, g8_19) + m(f3_2, g7_19) + m(f4, g6_19) +
         m(f5_2, g5_19) + m(f6, g4_19) + m(f7_2, g3_19) + m(f8, g2_19) + m(f9_2, g1_19);
  h[1] = m(f0, g1) + m(f1, g0) + m(f2, g9_19) + m(f3, g8_19) + m(f4, g7_19) + m(f5, g6_19) +
         m(f6, g5_19) + m(f7, g4_19) + m(f8, g3_19) + m(f9, g2_19);
  h[2] = m(f0, g2) + m(f1_2, g1) + m(f2, g0) + m(f3_2, g9_19) + m(f4, g8_19) +
         m(f5_2, g7_19) + m(f6, g6_19) + m(f7_2, g5_19) + m(f8, g4_19) + m(f9_2, g3_19);
  h[3] = m(f0, g3) + m(f1, g2) + m(f2, g1) + m(f3, g0) + m(f4, g9_19) + m(f5, g8_19) +
         m(f6, g7_19) + m(f7, g6_19) + m(f8, g5_19) + m(f9, g4_19);
  h[4] = m(f0, g4) + m(f1_2, g3) + m(f2, g2) + m(f3_2, g1) + m(f4, g0) + m(f5_2, g9_19) +
         m(f6, g8_19) + m(f7_2, g7_19) + m(f8, g6_19) + m(f9_2, g5_19);
  h[5] = m(f0, g5) + m(f1, g4) + m(f2, g3) + m(f3, g2) + m(f4, g1) + m(f5, g0) +
         m(f6, g9_19) + m(f7, g8_19) + m(f8, g7_19) + m(f9, g6_19);
  h[6] = m(f0, g6) + m(f1_2, g5) + m(f2, g4) + m(f3_2, g3) + m(f4, g2) + m(f5_2, g1) +
         m(f6, g0) + m(f7_2, g9_19) + m(f8, g8_19) + m(f9_2, g7_19);
  h[7] = m(f0, g7) + m(f1, g6) + m(f2, g5) + m(f3, g4) + m(f4, g3) + m(f5, g2) + m(f6, g1) +
         m(f7, g0) + m(f8, g9_19) + m(f9, g8_19);
  h[8] = m(f0, g8) + m(f1_2, g7) + m(f2, g6) + m(f3_2, g5) + m(f4, g4) + m(f5_2, g3) +
         m(f6, g2) + m(f7_2, g1) + m(f8, g0) + m(f9_2, g9_19);
  h[9] = m(f0, g9) + m(f1, g8) + m(f2, g7) + m(f3, g6) + m(f4, g5) + m(f5, g4) + m(f6, g3) +
         m(f7, g2) + m(f8, g1) + m(f9, g0);
  fe_carry64(out, h);
}

inline void fe_sq(Fe& out, const Fe& f) {
  const int32_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4], f5 = f.v[5],
                f6 = f.v[6], f7 = f.v[7], f8 = f.v[8], f9 = f.v[9];
  const int32_t f0_2 = 2 * f0, f1_2 = 2 * f1, f2_2 = 2 * f2, f3_2 = 2 * f3, f4_2 = 2 * f4,
                f5_2 = 2 * f5, f6_2 = 2 * f6, f7_2 = 2 * f7, f8_2 = 2 * f8, f9_2 = 2 * f9;
  const int32_t f1_4 = 4 * f1, f3_4 = 4 * f3, f5_4 = 4 * f5, f7_4 = 4 * f7;
  const int32_t f5_19 = 19 * f5, f6_19 = 19 * f6, f7_19 = 19 * f7, f8_19 = 19 * f8,
                f9_19 = 19 * f9;
  int64_t h[10];
  h[0] = m(f0, f0) + m(f1_4, f9_19) + m(f2_2, f8_19) + m(f3_4, f7_19) + m(f4_2, f6_19) +
         m(f5_2, f5_19);
  h[1] = m(f0_2, f1) + m(f2_2, f9_19) + m(f3_2, f8_19) + m(f4_2, f7_19) + m(f5_2, f6_19);
  h[2] = m(f0_2, f2) + m(f1_2, f1) + m(f3_4, f9_19) + m(f4_2, f8_19) + m(f5_4, f7_19) +
         m(f6, f6_19);
  h[3] = m(f0_2, f3) + m(f1_2, f2) + m(f4_2, f9_19) + m(f5_2, f8_19) + m(f6_2, f7_19);
  h[4] = m(f0_2, f4) + m(f1_4, f3) + m(f2, f2) + m(f5_4, f9_19) + m(f6_2, f8_19) +
         m(f7_2, f7_19);
  h[5] = m(f0_2, f5) + m(f1_2, f4) + m(f2_2, f3) + m(f6_2, f9_19) + m(f7_2, f8_19);
  h[6] = m(f0_2, f6) + m(f1_4, f5) + m(f2_2, f4) + m(f3_2, f3) + m(f7_4, f9_19) +
         m(f8, f8_19);
  h[7] = m(f0_2, f7) + m(f1_2, f6) + m(f2_2, f5) + m(f3_2, f4) + m(f8_2, f9_19);
  h[8] = m(f0_2, f8) + m(f1_4, f7) + m(f2_2, f6) + m(f3_4, f5) + m(f4, f4) + m(f9_2, f9_19);
  h[9] = m(f0_2, f9) + m(f1_2, f8) + m(f2_2, f7) + m(f3_2, f6) + m(f4_2, f5);
  fe_carry64(out, h);
}

// h = f * c for a small constant c (below 2^20).
inline void fe_mul_small(Fe& out, const Fe& f, uint32_t c) {
  int64_t h[10];
  for (int i = 0; i < 10; ++i) h[i] = int64_t(f.v[i]) * int64_t(c);
  fe_carry64(out, h);
}

// Swaps f and g when bit is 1, leaves them when it is 0, without branching on bit.
inline void fe_cswap(Fe& f, Fe& g, uint32_t bit) {
  const uint32_t mask = 0 - bit;
  for (int i = 0; i < 10; ++i) {
    uint32_t x = (uint32_t(f.v[i]) ^ uint32_t(g.v[i])) & mask;
    f.v[i] = int32_t(uint32_t(f.v[i]) ^ x);
    g.v[i] = int32_t(uint32_t(g.v[i]) ^ x);
  }
}

}  // namespace field32
