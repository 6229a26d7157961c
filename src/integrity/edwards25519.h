// The twisted Edwards form of Curve25519, -x^2 + y^2 = 1 + d x^2 y^2 with d = -121665/121666,
// for the signature check's x(v·P + h·G): its addition law is complete (one formula for every
// pair of points, the neutral element and the points of small order included), and it lets
// the multiples of G be computed once, ahead of time.
//
// The Montgomery point (u, v) is the Edwards point (c u / v, (u - 1)/(u + 1)), c the square
// root of -486664 in kMontgomeryToEdwards; back, u = (1 + y)/(1 - y). Only the Montgomery
// points with v = 0 (the point (0, 0)) and the point at infinity have no such image; the
// neutral element (0, 1) stands for the latter.
#pragma once

#include <cstdint>

#include "integrity/field25519.h"

namespace edwards25519 {

using field25519::Fe;

// A point in extended coordinates: x = X/Z, y = Y/Z, x y = T/Z.
struct Point {
  Fe x, y, z, t;
};

// The image of the Montgomery point (u, v); v must not be 0.
void from_montgomery(Point& out, const Fe& u, const Fe& v);

// r = v·p + h·g for the base point g (u = 9, even v): both scalars taken as full 256-bit
// integers, never reduced. Writes the Montgomery u of the result as 32 bytes, fully reduced;
// 32 zero bytes for the neutral element. Variable time: for public inputs only.
void double_scalar_mult_u(uint8_t out[32], const Point& p, const uint8_t v[32],
                          const uint8_t h[32]);

// Constants of base_table.cc (little-endian, fully reduced): 2d; c; and the odd multiples
// G, 3G, ..., 127G as (y + x, y - x, 2 d x y).
constexpr int kBaseOddMultipleCount = 64;
extern const uint8_t kEdwardsD2[32];
extern const uint8_t kMontgomeryToEdwards[32];
extern const uint8_t kBaseOddMultiples[kBaseOddMultipleCount][3][32];

}  // namespace edwards25519
