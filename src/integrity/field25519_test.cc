#include "integrity/field25519.h"
#include "integrity/field25519_32.h"
#if defined(__SIZEOF_INT128__)
#include "integrity/field25519_64.h"
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "integrity/test_support.h"

namespace {

using namespace field25519;
using integrity_test::TestRandom;
using integrity_test::unhex;

Fe fe(const std::string& hex_text) {
  uint8_t b[32];
  unhex(hex_text, b, 32);
  Fe f;
  fe_from_bytes(f, b);
  return f;
}

std::string str(const Fe& f) {
  uint8_t b[32];
  fe_to_bytes(b, f);
  return hex(b, 32);
}

const std::string kZero(64, '0');
const std::string kOne = "01" + std::string(62, '0');
const std::string kPMinusOne = "ec" + std::string(60, 'f') + "7f";
const std::string kP = "ed" + std::string(60, 'f') + "7f";

// Values written at or above p, or with bit 255 set, read as their residue modulo p, and
// every value is written back fully reduced.
TEST(Field25519, EncodingIsCanonical) {
  EXPECT_EQ(str(fe(kP)), kZero);
  EXPECT_EQ(str(fe(kPMinusOne)), kPMinusOne);
  EXPECT_EQ(str(fe("ee" + std::string(60, 'f') + "7f")), kOne);             // p + 1
  EXPECT_EQ(str(fe(std::string(62, 'f') + "7f")), "12" + std::string(62, '0'));  // 2^255 - 1
  EXPECT_EQ(str(fe(std::string(64, 'f'))), "25" + std::string(62, '0'));   // 2^256 - 1
  EXPECT_EQ(str(fe(std::string(62, '0') + "80")), "13" + std::string(62, '0'));  // 2^255
  Fe zero, one, minus_one;
  fe_set(zero, 0);
  fe_set(one, 1);
  fe_sub(minus_one, zero, one);
  EXPECT_EQ(str(minus_one), kPMinusOne);
  Fe sum;
  fe_add(sum, minus_one, one);
  EXPECT_EQ(str(sum), kZero);
  EXPECT_TRUE(fe_is_zero(sum));
  EXPECT_TRUE(fe_is_odd(one));
  EXPECT_FALSE(fe_is_odd(minus_one));  // p - 1 is even
}

// Products and inverses against Python's integers.
TEST(Field25519, MatchesPythonReference) {
  int mul = 0, inv = 0;
  for (const auto& w : integrity_test::data_lines("curve_vectors.txt")) {
    if (w[0] == "field_mul") {
      Fe h;
      fe_mul(h, fe(w[1]), fe(w[2]));
      EXPECT_EQ(str(h), w[3]) << w[1] << " * " << w[2];
      fe_sq(h, fe(w[1]));
      Fe h2;
      fe_mul(h2, fe(w[1]), fe(w[1]));
      EXPECT_TRUE(fe_equal(h, h2));
      ++mul;
    } else if (w[0] == "field_inv") {
      Fe h;
      fe_invert(h, fe(w[1]));
      EXPECT_EQ(str(h), w[2]);
      ++inv;
    }
  }
  EXPECT_EQ(mul, 20);
  EXPECT_GE(inv, 19);
}

// Long chains of operations stay exact: limbs never outgrow their bounds.
TEST(Field25519, IdentitiesHoldOnRandomValues) {
  TestRandom rng(1);
  Fe one;
  fe_set(one, 1);
  for (int i = 0; i < 200; ++i) {
    uint8_t ab[32], bb[32];
    rng.fill(ab, 32);
    rng.fill(bb, 32);
    Fe a, b;
    fe_from_bytes(a, ab);
    fe_from_bytes(b, bb);
    // (a + b)(a - b) = a^2 - b^2
    Fe s, d, lhs, a2, b2, rhs;
    fe_add(s, a, b);
    fe_sub(d, a, b);
    fe_mul(lhs, s, d);
    fe_sq(a2, a);
    fe_sq(b2, b);
    fe_sub(rhs, a2, b2);
    EXPECT_TRUE(fe_equal(lhs, rhs));
    // a * 121665 by the small multiplier and by a full product
    Fe c, small, full;
    fe_set(c, 121665);
    fe_mul_small(small, d, 121665);
    fe_mul(full, d, c);
    EXPECT_TRUE(fe_equal(small, full));
    // a / a = 1 for a != 0, and -(-a) = a
    Fe inv, prod, neg, negneg;
    fe_invert(inv, a);
    fe_mul(prod, inv, a);
    EXPECT_TRUE(fe_is_zero(a) || fe_equal(prod, one));
    fe_neg(neg, a);
    fe_neg(negneg, neg);
    EXPECT_TRUE(fe_equal(negneg, a));
    // constant-time swap
    Fe x = a, y = b;
    fe_cswap(x, y, 0);
    EXPECT_TRUE(fe_equal(x, a) && fe_equal(y, b));
    fe_cswap(x, y, 1);
    EXPECT_TRUE(fe_equal(x, b) && fe_equal(y, a));
  }
  Fe zero, inv_zero;
  fe_set(zero, 0);
  fe_invert(inv_zero, zero);
  EXPECT_TRUE(fe_is_zero(inv_zero));
}

TEST(Field25519, InverseSquareRoot) {
  TestRandom rng(2);
  int squares = 0, non_squares = 0;
  for (int i = 0; i < 100; ++i) {
    uint8_t b[32];
    rng.fill(b, 32);
    Fe a, q, check, sq;
    fe_from_bytes(a, b);
    fe_sq(sq, a);
    // a^2 is always a square: q^2 a^2 = 1
    ASSERT_TRUE(fe_inv_sqrt(q, sq));
    fe_sq(check, q);
    fe_mul(check, check, sq);
    Fe one;
    fe_set(one, 1);
    EXPECT_TRUE(fe_equal(check, one));
    if (fe_inv_sqrt(q, a)) {
      fe_sq(check, q);
      fe_mul(check, check, a);
      EXPECT_TRUE(fe_equal(check, one));
      ++squares;
    } else {
      ++non_squares;
    }
  }
  // About half of all values are squares.
  EXPECT_GT(squares, 25);
  EXPECT_GT(non_squares, 25);
  Fe two, zero, q;
  fe_set(two, 2);
  EXPECT_FALSE(fe_inv_sqrt(q, two));  // 2 is not a square modulo p
  fe_set(zero, 0);
  EXPECT_TRUE(fe_inv_sqrt(q, zero));
  EXPECT_TRUE(fe_is_zero(q));
}

#if defined(__SIZEOF_INT128__)
// On hosts with 128-bit integers both representations exist: they must agree everywhere,
// so that the 32-bit build (the medium's) computes what the 64-bit one does.
TEST(Field25519, PortableRepresentationAgrees) {
  TestRandom rng(3);
  auto s32 = [](const field32::Fe& f) {
    uint8_t b[32];
    field32::fe_to_bytes(b, f);
    return hex(b, 32);
  };
  auto s64 = [](const field64::Fe& f) {
    uint8_t b[32];
    field64::fe_to_bytes(b, f);
    return hex(b, 32);
  };
  for (int i = 0; i < 500; ++i) {
    uint8_t ab[32], bb[32];
    rng.fill(ab, 32);
    rng.fill(bb, 32);
    if (i < 8) {  // values around p and 2^256
      memset(ab, 0xff, 32);
      ab[0] = uint8_t(0xec + i);
      ab[31] = i & 1 ? 0xff : 0x7f;
    }
    field32::Fe a32, b32, r32, t32;
    field64::Fe a64, b64, r64, t64;
    field32::fe_from_bytes(a32, ab);
    field32::fe_from_bytes(b32, bb);
    field64::fe_from_bytes(a64, ab);
    field64::fe_from_bytes(b64, bb);
    ASSERT_EQ(s32(a32), s64(a64));
    field32::fe_mul(r32, a32, b32);
    field64::fe_mul(r64, a64, b64);
    ASSERT_EQ(s32(r32), s64(r64));
    field32::fe_sq(r32, a32);
    field64::fe_sq(r64, a64);
    ASSERT_EQ(s32(r32), s64(r64));
    // A difference and a sum as multiplier inputs, the widest the ladder uses.
    field32::fe_sub(t32, a32, b32);
    field64::fe_sub(t64, a64, b64);
    ASSERT_EQ(s32(t32), s64(t64));
    field32::fe_add(r32, a32, b32);
    field64::fe_add(r64, a64, b64);
    field32::fe_mul(r32, r32, t32);
    field64::fe_mul(r64, r64, t64);
    ASSERT_EQ(s32(r32), s64(r64));
    field32::fe_mul_small(r32, t32, 121665);
    field64::fe_mul_small(r64, t64, 121665);
    ASSERT_EQ(s32(r32), s64(r64));
    field32::fe_sq(t32, t32);
    field64::fe_sq(t64, t64);
    ASSERT_EQ(s32(t32), s64(t64));
  }
}
#endif

}  // namespace
