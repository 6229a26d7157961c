// Scalar multiplication on Curve25519, y^2 = x^3 + 486662 x^2 + x over the integers modulo
// 2^255 - 19, in x-coordinates only.
//
// A point is given by its x-coordinate as 32 little-endian bytes; all 256 bits are taken,
// as the value modulo p (the top bit is not masked). Results are written fully reduced; the
// point at infinity is written as 32 zero bytes. Scalars are 32 little-endian bytes used as
// full 256-bit integers, never reduced modulo the group order.
//
// G is the base point: x = 9 with the even y (y reduced into 0..p-1). For an x-coordinate
// of a curve point, "the point with x-coordinate x" means the one of the two with the even
// y, as the signature check defines the signing key's point.
#pragma once

#include <cstdint>

// out = x(v·P + h·G), with P the point with x-coordinate p_x (even y). Exact for every pair
// of scalars. False when p_x is not the x-coordinate of a curve point: out is then x(v·P)
// for the point P of the quadratic twist, h unused. Variable time: for public inputs only.
bool curve_combination_x(const uint8_t p_x[32], const uint8_t v[32], const uint8_t h[32],
                         uint8_t out[32]);

// out = x(k·B) for the point B with x-coordinate b_x (on the curve or on its twist), by a
// Montgomery ladder over all 256 bits of k that takes the same time for every k.
void curve_scalar_mult_x(const uint8_t k[32], const uint8_t b_x[32], uint8_t out[32]);

// x is the x-coordinate of a point of the curve whose order does not divide 8: a usable
// signing public key.
bool curve_valid_public_key(const uint8_t x[32]);

// For key generation: writes x(k·G) and sets even_y to whether k·G is the point with that
// x-coordinate and the even y (otherwise it is its negative). False when k·G is the point at
// infinity. The ladder takes the same time for every k; the sign test after it does not.
bool curve_base_multiple(const uint8_t k[32], uint8_t x_out[32], bool* even_y);
