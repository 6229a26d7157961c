#include "integrity/field25519.h"

#include <cstring>

namespace field25519 {

namespace {

// 2^((p-1)/4), a square root of -1.
constexpr uint8_t kSqrtMinusOne[32] = {
    0xb0, 0xa0, 0x0e, 0x4a, 0x27, 0x1b, 0xee, 0xc4, 0x78, 0xe4, 0x2f, 0xad, 0x06, 0x18, 0x43, 0x2f,
    0xa7, 0xd7, 0xfb, 0x3d, 0x99, 0x00, 0x4d, 0x2b, 0x0b, 0xdf, 0xc1, 0x4f, 0x80, 0x24, 0x83, 0x2b};

// f^(2^250 - 1), and f^11 on the way (both exponents end the two power chains below).
void pow_2_250_minus_1(Fe& out, Fe& f11, const Fe& f) {
  Fe f2, f9, t, f_5_0, f_10_0, f_20_0, f_50_0, f_100_0;
  fe_sq(f2, f);
  fe_sq_n(t, f2, 2);          // f^8
  fe_mul(f9, t, f);           // f^9
  fe_mul(f11, f9, f2);        // f^11
  fe_sq(t, f11);              // f^22
  fe_mul(f_5_0, t, f9);       // f^(2^5 - 1)
  fe_sq_n(t, f_5_0, 5);
  fe_mul(f_10_0, t, f_5_0);   // f^(2^10 - 1)
  fe_sq_n(t, f_10_0, 10);
  fe_mul(f_20_0, t, f_10_0);  // f^(2^20 - 1)
  fe_sq_n(t, f_20_0, 20);
  fe_mul(t, t, f_20_0);       // f^(2^40 - 1)
  fe_sq_n(t, t, 10);
  fe_mul(f_50_0, t, f_10_0);  // f^(2^50 - 1)
  fe_sq_n(t, f_50_0, 50);
  fe_mul(f_100_0, t, f_50_0);  // f^(2^100 - 1)
  fe_sq_n(t, f_100_0, 100);
  fe_mul(t, t, f_100_0);      // f^(2^200 - 1)
  fe_sq_n(t, t, 50);
  fe_mul(out, t, f_50_0);     // f^(2^250 - 1)
}

}  // namespace

bool fe_is_zero(const Fe& f) {
  uint8_t s[32];
  fe_to_bytes(s, f);
  uint8_t any = 0;
  for (uint8_t b : s) any |= b;
  return any == 0;
}

bool fe_equal(const Fe& f, const Fe& g) {
  uint8_t a[32], b[32];
  fe_to_bytes(a, f);
  fe_to_bytes(b, g);
  return memcmp(a, b, 32) == 0;
}

bool fe_is_odd(const Fe& f) {
  uint8_t s[32];
  fe_to_bytes(s, f);
  return s[0] & 1;
}

void fe_neg(Fe& h, const Fe& f) {
  Fe zero;
  fe_set(zero, 0);
  fe_sub(h, zero, f);
  fe_mul_small(h, h, 1);  // back to carried limbs
}

void fe_sq_n(Fe& h, const Fe& f, int n) {
  fe_sq(h, f);
  for (int i = 1; i < n; ++i) fe_sq(h, h);
}

void fe_invert(Fe& h, const Fe& f) {
  Fe t, f11;
  pow_2_250_minus_1(t, f11, f);
  fe_sq_n(t, t, 5);  // f^(2^255 - 32)
  fe_mul(h, t, f11);  // f^(2^255 - 21) = f^(p - 2)
}

void fe_pow22523(Fe& h, const Fe& f) {
  Fe t, f11;
  pow_2_250_minus_1(t, f11, f);
  fe_sq_n(t, t, 2);  // f^(2^252 - 4)
  fe_mul(h, t, f);   // f^(2^252 - 3) = f^((p - 5)/8)
}

bool fe_inv_sqrt(Fe& h, const Fe& a) {
  // r = a^3 (a^7)^((p-5)/8); then a r^2 is 1 when r is the root, -1 when r times the square
  // root of -1 is, and anything else when a is not a square.
  Fe a2, a3, a7, r, check, one, minus_one;
  fe_sq(a2, a);
  fe_mul(a3, a2, a);
  fe_sq(a7, a3);
  fe_mul(a7, a7, a);
  fe_pow22523(r, a7);
  fe_mul(r, r, a3);
  fe_sq(check, r);
  fe_mul(check, check, a);
  fe_set(one, 1);
  fe_neg(minus_one, one);
  if (fe_equal(check, one)) {
    h = r;
    return true;
  }
  if (fe_equal(check, minus_one)) {
    Fe i;
    fe_from_bytes(i, kSqrtMinusOne);
    fe_mul(h, r, i);
    return true;
  }
  h = r;
  return fe_is_zero(a);  // r is 0 then
}

}  // namespace field25519
