#include "integrity/curve25519.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "integrity/edwards25519.h"
#include "integrity/field25519.h"
#include "integrity/test_support.h"

namespace {

using integrity_test::TestRandom;
using integrity_test::unhex;

struct Bytes32 {
  uint8_t b[32];
};

Bytes32 b32(const std::string& h) {
  Bytes32 r;
  unhex(h, r.b, 32);
  return r;
}

const Bytes32 kZero = {};
const Bytes32 kNine = {{9}};

void clamp(uint8_t k[32]) {
  k[0] &= 248;
  k[31] = (k[31] & 127) | 64;
}

// X25519 as defined for the published vectors, through the two-scalar ladder: clamped
// scalar as v, the u-coordinate with bit 255 masked as P, h = 0.
std::string x25519_via_combination(const std::string& scalar, const std::string& u) {
  Bytes32 k = b32(scalar), x = b32(u), out;
  clamp(k.b);
  x.b[31] &= 127;
  curve_combination_x(x.b, k.b, kZero.b, out.b);
  return hex(out.b, 32);
}

// The same for u = 9 with the scalar as h and v = 0 (the P-part unused).
std::string x25519_base_via_combination(const std::string& scalar, const Bytes32& any_key) {
  Bytes32 k = b32(scalar), out;
  clamp(k.b);
  curve_combination_x(any_key.b, kZero.b, k.b, out.b);
  return hex(out.b, 32);
}

std::string x25519_ladder(const std::string& scalar, const std::string& u) {
  Bytes32 k = b32(scalar), x = b32(u), out;
  clamp(k.b);
  x.b[31] &= 127;
  curve_scalar_mult_x(k.b, x.b, out.b);
  return hex(out.b, 32);
}

TEST(Curve25519, PublishedX25519Vectors) {
  const char* vectors[][3] = {
      {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
      {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
      // The key agreement example: both public keys, then the shared secret both ways.
      {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "0900000000000000000000000000000000000000000000000000000000000000",
       "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"},
      {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
       "0900000000000000000000000000000000000000000000000000000000000000",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"},
      {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
      {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
       "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(x25519_via_combination(v[0], v[1]), v[2]) << v[0];
    EXPECT_EQ(x25519_ladder(v[0], v[1]), v[2]) << v[0];
    if (b32(v[1]).b[0] == 9) {
      // u = 9 also as the h·G half, beside keys of several kinds.
      EXPECT_EQ(x25519_base_via_combination(v[0], b32(v[1])), v[2]);
      EXPECT_EQ(x25519_base_via_combination(v[0], b32(vectors[0][1])), v[2]);
      EXPECT_EQ(x25519_base_via_combination(v[0], kZero), v[2]);
    }
  }
}

// The iterated vector: k and u start at 9; each round computes X25519(k, u), then u takes
// the old k and k the result. About half of the u values are points of the twist.
std::string iterate(int rounds, bool through_combination) {
  std::string k(64, '0'), u(64, '0');
  k[0] = u[0] = '0';
  k[1] = u[1] = '9';
  for (int i = 0; i < rounds; ++i) {
    std::string r = through_combination ? x25519_via_combination(k, u) : x25519_ladder(k, u);
    u = k;
    k = r;
  }
  return k;
}

TEST(Curve25519, IteratedX25519Vector) {
  EXPECT_EQ(iterate(1, true), "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
  EXPECT_EQ(iterate(1000, true),
            "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
  EXPECT_EQ(iterate(1000, false),
            "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

// A minute or more: run with KEST_SLOW_TESTS=1.
TEST(Curve25519, IteratedX25519VectorMillion) {
  if (!getenv("KEST_SLOW_TESTS")) GTEST_SKIP() << "set KEST_SLOW_TESTS=1 to run";
  EXPECT_EQ(iterate(1000000, true),
            "7c3911e0ab2586fd864497297e575e6f3bc601c0883c30df5f4dd2d24f665424");
}

// x(v·P + h·G) against plain affine arithmetic in Python: random keys of every order, keys
// G and 1/9 and small-order points, keys written with bit 255 set, scalars 0, 1, the group
// order and its multiples, all ones, and combinations that cancel to the point at infinity.
TEST(Curve25519, CombinationMatchesPythonReference) {
  int combinations = 0, twists = 0;
  for (const auto& w : integrity_test::data_lines("curve_vectors.txt")) {
    if (w[0] == "combination") {
      Bytes32 key = b32(w[1]), v = b32(w[2]), h = b32(w[3]), out;
      EXPECT_TRUE(curve_combination_x(key.b, v.b, h.b, out.b));
      EXPECT_EQ(hex(out.b, 32), w[4]) << "key " << w[1] << " v " << w[2] << " h " << w[3];
      ++combinations;
    } else if (w[0] == "twist") {
      Bytes32 u = b32(w[1]), k = b32(w[2]), out;
      EXPECT_FALSE(curve_combination_x(u.b, k.b, kZero.b, out.b));
      EXPECT_EQ(hex(out.b, 32), w[3]);
      curve_scalar_mult_x(k.b, u.b, out.b);
      EXPECT_EQ(hex(out.b, 32), w[3]);
      ++twists;
    }
  }
  EXPECT_GE(combinations, 200);
  EXPECT_EQ(twists, 8);
}

// The verifier's table of base-point multiples (written by make_base_table.py): the map's
// constants are what they claim, and entry i lies on the Edwards curve and is (2i+1)·G as
// the Montgomery ladder computes it. (Its signs are exercised by the Python reference above:
// a wrong sign in any entry changes those combinations.)
TEST(Curve25519, EdwardsBaseTable) {
  using namespace field25519;
  Fe c, d2, t, expected, one, two, inv2;
  fe_set(one, 1);
  fe_set(two, 2);
  fe_invert(inv2, two);
  fe_from_bytes(c, edwards25519::kMontgomeryToEdwards);
  fe_sq(t, c);
  fe_set(expected, 486664);
  fe_neg(expected, expected);
  EXPECT_TRUE(fe_equal(t, expected)) << "c^2 = -486664";
  fe_from_bytes(d2, edwards25519::kEdwardsD2);
  fe_mul_small(t, d2, 121666);
  fe_set(expected, 2 * 121665);
  fe_neg(expected, expected);
  EXPECT_TRUE(fe_equal(t, expected)) << "2d = -2 * 121665 / 121666";

  for (int i = 0; i < edwards25519::kBaseOddMultipleCount; ++i) {
    Fe ypx, ymx, xy2d, x, y, xx, yy, lhs, rhs;
    fe_from_bytes(ypx, edwards25519::kBaseOddMultiples[i][0]);
    fe_from_bytes(ymx, edwards25519::kBaseOddMultiples[i][1]);
    fe_from_bytes(xy2d, edwards25519::kBaseOddMultiples[i][2]);
    fe_sub(x, ypx, ymx);
    fe_mul(x, x, inv2);
    fe_add(y, ypx, ymx);
    fe_mul(y, y, inv2);
    // 2(y^2 - x^2) = 2 + 2d x^2 y^2, and the third field is 2d x y.
    fe_sq(xx, x);
    fe_sq(yy, y);
    fe_sub(lhs, yy, xx);
    fe_mul_small(lhs, lhs, 2);
    fe_mul(rhs, xx, yy);
    fe_mul(rhs, rhs, d2);
    fe_add(rhs, rhs, two);
    EXPECT_TRUE(fe_equal(lhs, rhs)) << "entry " << i << " is not on the curve";
    fe_mul(t, x, y);
    fe_mul(t, t, d2);
    EXPECT_TRUE(fe_equal(t, xy2d)) << "entry " << i;
    // u = (1 + y)/(1 - y) against the ladder's x((2i+1)·G).
    Fe num, den, u;
    fe_add(num, one, y);
    fe_sub(den, one, y);
    fe_invert(den, den);
    fe_mul(u, num, den);
    Bytes32 k = {{uint8_t(2 * i + 1)}}, got, ladder;
    fe_to_bytes(got.b, u);
    curve_scalar_mult_x(k.b, kNine.b, ladder.b);
    EXPECT_EQ(hex(got.b, 32), hex(ladder.b, 32)) << "entry " << i;
  }
}

TEST(Curve25519, PublicKeyValidity) {
  EXPECT_TRUE(curve_valid_public_key(kNine.b));
  EXPECT_TRUE(curve_valid_public_key(
      b32("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a").b));
  EXPECT_FALSE(curve_valid_public_key(kZero.b));                        // order 2
  EXPECT_FALSE(curve_valid_public_key(b32("01" + std::string(62, '0')).b));  // order 4
  EXPECT_FALSE(curve_valid_public_key(  // order 8
      b32("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800").b));
  EXPECT_FALSE(curve_valid_public_key(b32("02" + std::string(62, '0')).b));  // twist
  // p + 9 is the residue 9.
  EXPECT_TRUE(curve_valid_public_key(b32("f6" + std::string(60, 'f') + "7f").b));
}

// The key generation helper agrees with the combination: k·G has the even y exactly when
// x(1·P + 1·G) for the even-y point P equals x((k+1)·G).
TEST(Curve25519, BaseMultipleReportsTheSignOfY) {
  TestRandom rng(4);
  int even = 0, odd = 0;
  for (int i = 0; i < 40; ++i) {
    Bytes32 k, x, one = {{1}}, k1 = {}, expected, got;
    rng.fill(k.b, 32);
    if (i == 0) k = {{1}};
    bool even_y;
    ASSERT_TRUE(curve_base_multiple(k.b, x.b, &even_y));
    curve_scalar_mult_x(k.b, kNine.b, expected.b);
    EXPECT_EQ(hex(x.b, 32), hex(expected.b, 32));
    // (k+1) as bytes; k is random so it does not overflow 256 bits in practice.
    unsigned carry = 1;
    for (int j = 0; j < 32; ++j) {
      carry += k.b[j];
      k1.b[j] = uint8_t(carry);
      carry >>= 8;
    }
    curve_scalar_mult_x(k1.b, kNine.b, expected.b);
    curve_combination_x(x.b, one.b, one.b, got.b);
    EXPECT_EQ(even_y, hex(got.b, 32) == hex(expected.b, 32));
    (even_y ? even : odd)++;
  }
  EXPECT_GT(even, 5);
  EXPECT_GT(odd, 5);
  Bytes32 order = b32("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"), x;
  bool even_y;
  EXPECT_FALSE(curve_base_multiple(kZero.b, x.b, &even_y));
  EXPECT_FALSE(curve_base_multiple(order.b, x.b, &even_y));  // l·G is the point at infinity
}

}  // namespace
