#include "integrity/scalar25519.h"

#include <cstring>

namespace {

constexpr Scalar kOrder = {{0x5cf5d3ed, 0x5812631a, 0xa2f79cd6, 0x14def9de, 0, 0, 0, 0x10000000}};
// 2^512 modulo l: converts into the Montgomery domain of R = 2^256.
constexpr Scalar kR2 = {{0x449c0f01, 0xa40611e3, 0x68859347, 0xd00e1ba7, 0x17f5be65, 0xceec73d2,
                         0x7c309a3d, 0x0399411b}};
constexpr uint32_t kOrderInv = 0x12547e1b;  // -1/l modulo 2^32

// out = a - b over 8 words; returns the borrow (1 when a < b).
uint32_t sub_words(uint32_t out[8], const uint32_t a[8], const uint32_t b[8]) {
  uint32_t borrow = 0;
  for (int i = 0; i < 8; ++i) {
    uint64_t d = uint64_t(a[i]) - b[i] - borrow;
    out[i] = uint32_t(d);
    borrow = uint32_t(d >> 63);
  }
  return borrow;
}

// a = a - m when a >= m (a holds 8 words plus a top word), without branching on the values.
void subtract_if_not_below(uint32_t a[9], const uint32_t m[8]) {
  uint32_t d[8];
  uint32_t borrow = sub_words(d, a, m);
  // a >= m exactly when there is no borrow out of the 9-word subtraction.
  const uint32_t keep = 0 - uint32_t(borrow > a[8]);  // all ones when a < m
  for (int i = 0; i < 8; ++i) a[i] = (a[i] & keep) | (d[i] & ~keep);
  a[8] = (a[8] & keep) | ((a[8] - borrow) & ~keep);
}

// Montgomery product a * b / 2^256 modulo l, for a, b below l.
void mont_mul(Scalar& out, const Scalar& a, const Scalar& b) {
  uint32_t t[10] = {};
  for (int i = 0; i < 8; ++i) {
    uint64_t carry = 0;
    for (int j = 0; j < 8; ++j) {
      uint64_t s = uint64_t(t[j]) + uint64_t(a.w[j]) * b.w[i] + carry;
      t[j] = uint32_t(s);
      carry = s >> 32;
    }
    uint64_t s = uint64_t(t[8]) + carry;
    t[8] = uint32_t(s);
    t[9] = uint32_t(s >> 32);
    const uint32_t m = t[0] * kOrderInv;
    carry = (uint64_t(t[0]) + uint64_t(m) * kOrder.w[0]) >> 32;
    for (int j = 1; j < 8; ++j) {
      s = uint64_t(t[j]) + uint64_t(m) * kOrder.w[j] + carry;
      t[j - 1] = uint32_t(s);
      carry = s >> 32;
    }
    s = uint64_t(t[8]) + carry;
    t[7] = uint32_t(s);
    t[8] = t[9] + uint32_t(s >> 32);
  }
  subtract_if_not_below(t, kOrder.w);
  memcpy(out.w, t, sizeof out.w);
}

// Reduces a 256-bit value (below 16 l) modulo l by long division with l·8, l·4, l·2, l.
void reduce_256(Scalar& out, const uint8_t bytes[32]) {
  uint32_t a[9] = {};
  for (int i = 0; i < 32; ++i) a[i / 4] |= uint32_t(bytes[i]) << (8 * (i % 4));
  for (int shift = 3; shift >= 0; --shift) {
    uint32_t m[8];
    for (int i = 0; i < 8; ++i)
      m[i] = kOrder.w[i] << shift | (i && shift ? kOrder.w[i - 1] >> (32 - shift) : 0);
    subtract_if_not_below(a, m);
  }
  memcpy(out.w, a, sizeof out.w);
}

}  // namespace

void scalar_reduce(Scalar& out, const uint8_t* bytes, size_t length) {
  uint8_t low[32] = {}, high[32] = {};
  memcpy(low, bytes, length < 32 ? length : 32);
  if (length > 32) memcpy(high, bytes + 32, length - 32);
  Scalar lo, hi;
  reduce_256(lo, low);
  reduce_256(hi, high);
  mont_mul(hi, hi, kR2);  // hi * 2^256 modulo l
  scalar_add(out, lo, hi);
}

void scalar_to_bytes(uint8_t out[32], const Scalar& a) {
  for (int i = 0; i < 32; ++i) out[i] = uint8_t(a.w[i / 4] >> (8 * (i % 4)));
}

bool scalar_is_zero(const Scalar& a) {
  uint32_t any = 0;
  for (uint32_t w : a.w) any |= w;
  return any == 0;
}

void scalar_add(Scalar& out, const Scalar& a, const Scalar& b) {
  uint32_t t[9];
  uint64_t carry = 0;
  for (int i = 0; i < 8; ++i) {
    carry += uint64_t(a.w[i]) + b.w[i];
    t[i] = uint32_t(carry);
    carry >>= 32;
  }
  t[8] = uint32_t(carry);
  subtract_if_not_below(t, kOrder.w);
  memcpy(out.w, t, sizeof out.w);
}

void scalar_sub(Scalar& out, const Scalar& a, const Scalar& b) {
  uint32_t t[8];
  const uint32_t borrow = sub_words(t, a.w, b.w);
  // Add l back when a < b.
  const uint32_t mask = 0 - borrow;
  uint64_t carry = 0;
  for (int i = 0; i < 8; ++i) {
    carry += uint64_t(t[i]) + (kOrder.w[i] & mask);
    out.w[i] = uint32_t(carry);
    carry >>= 32;
  }
}

void scalar_mul(Scalar& out, const Scalar& a, const Scalar& b) {
  Scalar t;
  mont_mul(t, a, b);      // a b / R
  mont_mul(out, t, kR2);  // a b
}

void scalar_invert(Scalar& out, const Scalar& a) {
  // a^(l-2) by square-and-multiply over the public exponent, in the Montgomery domain.
  Scalar exponent = kOrder;
  exponent.w[0] -= 2;
  Scalar base, result;
  mont_mul(base, a, kR2);  // a R
  const Scalar one = {{1, 0, 0, 0, 0, 0, 0, 0}};
  mont_mul(result, one, kR2);  // R, the Montgomery form of 1
  for (int bit = 252; bit >= 0; --bit) {
    mont_mul(result, result, result);
    if (exponent.w[bit / 32] >> (bit % 32) & 1) mont_mul(result, result, base);
  }
  mont_mul(out, result, one);  // out of the Montgomery domain
}
