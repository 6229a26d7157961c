// The field of Curve25519: integers modulo p = 2^255 - 19. Picks the 5 x 51-bit
// representation where the compiler has 128-bit integers and the portable 10-limb one
// elsewhere (32-bit x86), and builds the operations common to both on top: powers,
// inversion, inverse square roots, comparison.
//
// Every operation may be given the same object as output and input. Values leave fe_mul,
// fe_sq, fe_mul_small and the operations below "carried"; fe_add and fe_sub take carried
// values, and the multiplications take carried values or one sum or difference of two.
#pragma once

#include <cstdint>

#if defined(__SIZEOF_INT128__) && !defined(KEST_FIELD_PORTABLE)
#include "integrity/field25519_64.h"
namespace field25519 {
using namespace field64;
}
#else
#include "integrity/field25519_32.h"
namespace field25519 {
using namespace field32;
}
#endif

namespace field25519 {

// The canonical value is zero. These three accept any value an operation above returned.
bool fe_is_zero(const Fe& f);
bool fe_equal(const Fe& f, const Fe& g);
// The canonical value is odd.
bool fe_is_odd(const Fe& f);
// h = -f.
void fe_neg(Fe& h, const Fe& f);
// h = f^(2^n): n squarings.
void fe_sq_n(Fe& h, const Fe& f, int n);
// h = 1/f, that is f^(p-2); zero gives zero.
void fe_invert(Fe& h, const Fe& f);
// h = f^((p-5)/8), the core of square roots for p = 5 modulo 8.
void fe_pow22523(Fe& h, const Fe& f);
// When a is a non-zero square: h = a square root of 1/a (either sign) and true. When a is
// zero: h = 0 and true. Otherwise (a is not a square): false, and h is some value.
bool fe_inv_sqrt(Fe& h, const Fe& a);

}  // namespace field25519
