#include "integrity/curve25519.h"

#include <cstring>

#include "integrity/edwards25519.h"
#include "integrity/field25519.h"

namespace {

using namespace field25519;

constexpr uint32_t kA = 486662;
constexpr uint32_t kA24 = 121665;  // (A - 2) / 4, the constant of the doubling
constexpr uint32_t kBaseX = 9;
// The even y of G; y^2 = 39420360.
constexpr uint8_t kBaseY[32] = {
    0x14, 0x2c, 0x31, 0x81, 0x5d, 0x3a, 0x16, 0xd6, 0x4d, 0x9e, 0x83, 0x92, 0x81, 0xb2, 0xc2, 0x6d,
    0xb3, 0x2e, 0xb7, 0x88, 0xd3, 0x22, 0xe1, 0x1f, 0x4b, 0x79, 0x5f, 0x47, 0x5e, 0xe6, 0x51, 0x5f};

// A point as X:Z; (1:0) is the point at infinity.
struct Xz {
  Fe x, z;
};

void set_infinity(Xz& p) {
  fe_set(p.x, 1);
  fe_set(p.z, 0);
}

void set_affine(Xz& p, const Fe& x) {
  p.x = x;
  fe_set(p.z, 1);
}

// out = 2p. Correct for every input, the point at infinity included.
void xdbl(Xz& out, const Xz& p) {
  Fe a, b, aa, bb, e, t;
  fe_add(a, p.x, p.z);
  fe_sub(b, p.x, p.z);
  fe_sq(aa, a);
  fe_sq(bb, b);
  fe_sub(e, aa, bb);  // 4XZ
  fe_mul(out.x, aa, bb);
  fe_mul_small(t, e, kA24);
  fe_add(t, t, aa);
  fe_mul(out.z, e, t);
}

// The common part of a differential addition: out.x = (DA + CB)^2, t = (DA - CB)^2, and
// out.z = x(p - q) * t is left to the caller.
void xadd_common(Xz& out, Fe& t, const Xz& p, const Xz& q) {
  Fe a, b, c, d, da, cb;
  fe_add(a, p.x, p.z);
  fe_sub(b, p.x, p.z);
  fe_add(c, q.x, q.z);
  fe_sub(d, q.x, q.z);
  fe_mul(da, d, a);
  fe_mul(cb, c, b);
  fe_add(a, da, cb);
  fe_sub(b, da, cb);
  fe_sq(out.x, a);
  fe_sq(t, b);
}

// out = p + q, given the affine x-coordinate of p - q. Correct for all p and q (either may
// be the point at infinity) as long as p - q is neither the point at infinity nor the
// point of order two (x = 0).
void xadd(Xz& out, const Xz& p, const Xz& q, const Fe& diff) {
  Fe t;
  xadd_common(out, t, p, q);
  fe_mul(out.z, t, diff);
}

void to_affine_bytes(uint8_t out[32], const Xz& p) {
  Fe inv, x;
  fe_invert(inv, p.z);  // the inverse of zero is zero, so infinity comes out as 0
  fe_mul(x, p.x, inv);
  fe_to_bytes(out, x);
}

bool bytes_equal_small(const uint8_t s[32], uint8_t value) {
  if (s[0] != value) return false;
  for (int i = 1; i < 32; ++i)
    if (s[i]) return false;
  return true;
}

inline uint32_t scalar_bit(const uint8_t* k, int i) { return k[i >> 3] >> (i & 7) & 1; }

// Montgomery ladder over the low nbits bits of k: r0 = k·B, r1 = (k+1)·B for the point B
// with affine x-coordinate x1. The sequence of operations does not depend on k.
void ladder(Xz& r0, Xz& r1, const Fe& x1, const uint8_t* k, int nbits) {
  set_infinity(r0);
  set_affine(r1, x1);
  uint32_t swapped = 0;
  for (int i = nbits - 1; i >= 0; --i) {
    const uint32_t bit = scalar_bit(k, i);
    swapped ^= bit;
    fe_cswap(r0.x, r1.x, swapped);
    fe_cswap(r0.z, r1.z, swapped);
    swapped = bit;
    xadd(r1, r0, r1, x1);
    xdbl(r0, r0);
  }
  fe_cswap(r0.x, r1.x, swapped);
  fe_cswap(r0.z, r1.z, swapped);
}

// What the key checks and the sign test of key generation need to know about P.
struct KeyPoint {
  enum Kind { kGeneral, kBase, kTwoTorsion };
  Kind kind = kGeneral;
  Fe x;           // x(P)
  Fe x_plus_base;  // x(P + G), affine; for kBase x(2G)
  bool on_curve = true;
};

// Fills kp for the point with x-coordinate x_bytes (even y). P + G follows from the chord
// through P and G, whose slope needs y(P) and 1/(x(P) - 9); one inverse square root of
// y(P)^2 (x(P) - 9)^2 gives both.
void prepare_key_point(KeyPoint& kp, const uint8_t x_bytes[32]) {
  fe_from_bytes(kp.x, x_bytes);
  uint8_t canonical[32];
  fe_to_bytes(canonical, kp.x);
  if (bytes_equal_small(canonical, 0)) {
    kp.kind = KeyPoint::kTwoTorsion;  // P = (0, 0)
    return;
  }
  if (bytes_equal_small(canonical, kBaseX)) {
    kp.kind = KeyPoint::kBase;  // the even-y point with x = 9 is G itself
    Fe nine;
    fe_set(nine, kBaseX);
    Xz g, g2;
    set_affine(g, nine);
    xdbl(g2, g);
    Fe inv;
    fe_invert(inv, g2.z);
    fe_mul(kp.x_plus_base, g2.x, inv);
    return;
  }
  Fe t, u, one, rhs, d, a, q, y, inv_d, y_base, lambda;
  fe_set(t, kA);
  fe_add(u, kp.x, t);
  fe_mul(t, kp.x, u);  // x^2 + A x
  fe_set(one, 1);
  fe_add(t, t, one);
  fe_mul(rhs, kp.x, t);  // y^2 = x^3 + A x^2 + x
  fe_set(t, kBaseX);
  fe_sub(d, kp.x, t);  // x - 9, not zero here
  fe_sq(t, d);
  fe_mul(a, rhs, t);  // (y d)^2, not zero: rhs vanishes only at x = 0 in this field
  kp.on_curve = fe_inv_sqrt(q, a);  // q = ±1/(y d)
  fe_mul(t, d, q);
  fe_mul(y, rhs, t);   // ±y
  fe_mul(inv_d, y, q);  // 1/d, whichever sign q has
  if (fe_is_odd(y)) fe_neg(y, y);
  fe_from_bytes(y_base, kBaseY);
  fe_sub(t, y, y_base);
  fe_mul(lambda, t, inv_d);
  fe_sq(t, lambda);
  fe_set(u, kA + kBaseX);
  fe_add(u, u, kp.x);
  fe_sub(t, t, u);  // lambda^2 - A - x(P) - x(G)
  fe_mul_small(kp.x_plus_base, t, 1);
}

}  // namespace

bool curve_combination_x(const uint8_t p_x[32], const uint8_t v[32], const uint8_t h[32],
                         uint8_t out[32]) {
  Fe x;
  fe_from_bytes(x, p_x);
  uint8_t canonical[32];
  fe_to_bytes(canonical, x);
  Fe base_x;
  fe_set(base_x, kBaseX);
  Xz r0, r1;
  if (bytes_equal_small(canonical, 0)) {
    // P = (0, 0), which has no Edwards image: Y = h·G, plus (0, 0) when v is odd.
    ladder(r0, r1, base_x, h, 256);
    if (v[0] & 1) {
      Fe t = r0.x;  // adding (0, 0) maps x to 1/x
      r0.x = r0.z;
      r0.z = t;
    }
    to_affine_bytes(out, r0);
    return true;
  }
  // y^2 = x^3 + A x^2 + x; y = rhs / sqrt(rhs), made even.
  Fe t, rhs, q, y;
  fe_set(t, kA);
  fe_add(t, x, t);
  fe_mul(t, x, t);
  Fe one;
  fe_set(one, 1);
  fe_add(t, t, one);
  fe_mul(rhs, x, t);
  if (!fe_inv_sqrt(q, rhs)) {
    // P lies on the twist: only x(v·P) has a meaning there.
    ladder(r0, r1, x, v, 256);
    to_affine_bytes(out, r0);
    return false;
  }
  fe_mul(y, rhs, q);
  if (fe_is_odd(y)) fe_neg(y, y);
  edwards25519::Point p;
  edwards25519::from_montgomery(p, x, y);
  edwards25519::double_scalar_mult_u(out, p, v, h);
  return true;
}

void curve_scalar_mult_x(const uint8_t k[32], const uint8_t b_x[32], uint8_t out[32]) {
  Fe x1;
  fe_from_bytes(x1, b_x);
  Xz r0, r1;
  ladder(r0, r1, x1, k, 256);
  to_affine_bytes(out, r0);
}

bool curve_valid_public_key(const uint8_t x[32]) {
  KeyPoint kp;
  prepare_key_point(kp, x);
  if (kp.kind == KeyPoint::kTwoTorsion || !kp.on_curve) return false;
  Xz p;
  set_affine(p, kp.x);
  for (int i = 0; i < 3; ++i) xdbl(p, p);
  return !fe_is_zero(p.z);  // 8P is not the point at infinity
}

bool curve_base_multiple(const uint8_t k[32], uint8_t x_out[32], bool* even_y) {
  Fe base_x;
  fe_set(base_x, kBaseX);
  Xz r0, r1;
  ladder(r0, r1, base_x, k, 256);
  if (fe_is_zero(r0.z)) return false;
  to_affine_bytes(x_out, r0);
  // k·G is the even-y point P exactly when (k+1)·G = P + G rather than P - G; the two
  // differ because neither P nor G has order two.
  KeyPoint kp;
  prepare_key_point(kp, x_out);
  Fe t;
  fe_mul(t, kp.x_plus_base, r1.z);
  *even_y = !fe_is_zero(r1.z) && fe_equal(t, r1.x);
  return true;
}
