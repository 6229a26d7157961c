#include "integrity/edwards25519.h"

#include <cstring>

namespace edwards25519 {

namespace {

using namespace field25519;

// Intermediate forms, after the usual formulas for a = -1 (Hisil, Wong, Carter, Dawson):
// a "completed" point (x = X/Z, y = Y/T), which an addition or a doubling produces; a
// projective point without T, which is all a doubling needs; and a point prepared for being
// added: (Y + X, Y - X, Z, 2d T), or (y + x, y - x, 2d x y) for an affine one.
struct Completed {
  Fe x, y, z, t;
};
struct Projective {
  Fe x, y, z;
};
struct Cached {
  Fe ypx, ymx, z, t2d;
};
struct Affine {
  Fe ypx, ymx, xy2d;
};

// 2f, as a value that fe_add or fe_sub may take with one more carried value.
inline void twice(Fe& h, const Fe& f) {
  if constexpr (kWideLimbs)
    fe_add(h, f, f);
  else
    fe_mul_small(h, f, 2);
}

void to_projective(Projective& r, const Completed& p) {
  fe_mul(r.x, p.x, p.t);
  fe_mul(r.y, p.y, p.z);
  fe_mul(r.z, p.z, p.t);
}

void to_point(Point& r, const Completed& p) {
  fe_mul(r.x, p.x, p.t);
  fe_mul(r.y, p.y, p.z);
  fe_mul(r.z, p.z, p.t);
  fe_mul(r.t, p.x, p.y);
}

void to_cached(Cached& r, const Point& p, const Fe& d2) {
  fe_add(r.ypx, p.y, p.x);
  fe_sub(r.ymx, p.y, p.x);
  r.z = p.z;
  fe_mul(r.t2d, p.t, d2);
}

// r = 2p: X' = (X + Y)^2 - (Y^2 + X^2), Y' = Y^2 + X^2, Z' = Y^2 - X^2, T' = 2Z^2 - Z'.
void dbl(Completed& r, const Projective& p) {
  Fe xx, yy, zz2, s;
  fe_sq(xx, p.x);
  fe_sq(yy, p.y);
  fe_sq(zz2, p.z);
  twice(zz2, zz2);
  fe_add(s, p.x, p.y);
  fe_sq(s, s);
  fe_add(r.y, yy, xx);
  fe_sub(r.z, yy, xx);
  if constexpr (kWideLimbs) {
    fe_sub(r.x, s, r.y);
    fe_add(r.t, zz2, xx);
    fe_sub(r.t, r.t, yy);
  } else {
    fe_mul_small(r.y, r.y, 1);  // carried, for the subtractions
    fe_mul_small(r.z, r.z, 1);
    fe_sub(r.x, s, r.y);
    fe_sub(r.t, zz2, r.z);
  }
}

// r = p + q, or p - q when negate.
void add(Completed& r, const Point& p, const Cached& q, bool negate) {
  Fe a, b, c, zz;
  fe_add(a, p.y, p.x);
  fe_sub(b, p.y, p.x);
  fe_mul(a, a, negate ? q.ymx : q.ypx);
  fe_mul(b, b, negate ? q.ypx : q.ymx);
  fe_mul(c, p.t, q.t2d);
  fe_mul(zz, p.z, q.z);
  twice(zz, zz);
  fe_sub(r.x, a, b);
  fe_add(r.y, a, b);
  if (negate) {
    fe_sub(r.z, zz, c);
    fe_add(r.t, zz, c);
  } else {
    fe_add(r.z, zz, c);
    fe_sub(r.t, zz, c);
  }
}

// The same with an affine q.
void add(Completed& r, const Point& p, const Affine& q, bool negate) {
  Fe a, b, c, z2;
  fe_add(a, p.y, p.x);
  fe_sub(b, p.y, p.x);
  fe_mul(a, a, negate ? q.ymx : q.ypx);
  fe_mul(b, b, negate ? q.ypx : q.ymx);
  fe_mul(c, p.t, q.xy2d);
  twice(z2, p.z);
  fe_sub(r.x, a, b);
  fe_add(r.y, a, b);
  if (negate) {
    fe_sub(r.z, z2, c);
    fe_add(r.t, z2, c);
  } else {
    fe_add(r.z, z2, c);
    fe_sub(r.t, z2, c);
  }
}

inline int bits_at(const uint8_t k[32], int pos, int count) {
  int value = 0;
  for (int i = count - 1; i >= 0; --i) {
    const int bit = pos + i;
    value = value << 1 | (bit < 256 ? k[bit >> 3] >> (bit & 7) & 1 : 0);
  }
  return value;
}

constexpr int kDigits = 257;

// The width-w signed digits of k (all 256 bits): k = sum of d[i] 2^i, each non-zero digit
// odd and below 2^(w-1) in magnitude, two non-zero digits at least w positions apart.
void signed_digits(int8_t d[kDigits], const uint8_t k[32], int w) {
  memset(d, 0, kDigits);
  int carry_in = 0;
  for (int pos = 0; pos < kDigits;) {
    if (bits_at(k, pos, 1) == carry_in) {
      ++pos;
      continue;
    }
    int word = bits_at(k, pos, w) + carry_in;  // odd, below 2^w
    carry_in = word >> (w - 1) & 1;
    d[pos] = int8_t(word - (carry_in << w));
    pos += w;
  }
}

// Window widths: 8 odd multiples of P are made per check; G's 64 come from the table.
constexpr int kKeyWidth = 5;
constexpr int kBaseWidth = 8;
static_assert(1 << (kBaseWidth - 2) == kBaseOddMultipleCount, "table size and window");

}  // namespace

void from_montgomery(Point& out, const Fe& u, const Fe& v) {
  // Over the common denominator v (u + 1): X = c u (u + 1), Y = (u - 1) v, Z = v (u + 1),
  // T = c u (u - 1).
  Fe one, up1, um1, c, cu;
  fe_set(one, 1);
  fe_add(up1, u, one);
  fe_sub(um1, u, one);
  fe_from_bytes(c, kMontgomeryToEdwards);
  fe_mul(cu, c, u);
  fe_mul(out.x, cu, up1);
  fe_mul(out.y, um1, v);
  fe_mul(out.z, v, up1);
  fe_mul(out.t, cu, um1);
}

void double_scalar_mult_u(uint8_t out[32], const Point& p, const uint8_t v[32],
                          const uint8_t h[32]) {
  Fe d2;
  fe_from_bytes(d2, kEdwardsD2);
  // P, 3P, ..., 15P.
  Cached key[1 << (kKeyWidth - 2)];
  Completed c;
  Point sum = p, twice;
  to_cached(key[0], p, d2);
  Projective pp = {p.x, p.y, p.z};
  dbl(c, pp);
  to_point(twice, c);
  Cached twice_cached;
  to_cached(twice_cached, twice, d2);
  for (int i = 1; i < (1 << (kKeyWidth - 2)); ++i) {
    add(c, sum, twice_cached, false);
    to_point(sum, c);
    to_cached(key[i], sum, d2);
  }

  int8_t dv[kDigits], dh[kDigits];
  signed_digits(dv, v, kKeyWidth);
  signed_digits(dh, h, kBaseWidth);
  int i = kDigits - 1;
  while (i >= 0 && dv[i] == 0 && dh[i] == 0) --i;

  Projective r;
  fe_set(r.x, 0);
  fe_set(r.y, 1);
  fe_set(r.z, 1);
  for (; i >= 0; --i) {
    dbl(c, r);
    if (dv[i] != 0) {
      Point t;
      to_point(t, c);
      add(c, t, key[(dv[i] < 0 ? -dv[i] : dv[i]) / 2], dv[i] < 0);
    }
    if (dh[i] != 0) {
      Point t;
      to_point(t, c);
      const uint8_t(*entry)[32] = kBaseOddMultiples[(dh[i] < 0 ? -dh[i] : dh[i]) / 2];
      Affine g;
      fe_from_bytes(g.ypx, entry[0]);
      fe_from_bytes(g.ymx, entry[1]);
      fe_from_bytes(g.xy2d, entry[2]);
      add(c, t, g, dh[i] < 0);
    }
    to_projective(r, c);
  }

  // u = (Z + Y)/(Z - Y); the neutral element has Z = Y, and the inverse of 0 is 0.
  Fe num, den, u;
  fe_add(num, r.z, r.y);
  fe_sub(den, r.z, r.y);
  fe_invert(den, den);
  fe_mul(u, num, den);
  fe_to_bytes(out, u);
}

}  // namespace edwards25519
