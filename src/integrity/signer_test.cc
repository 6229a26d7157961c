#include "integrity/signer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "integrity/curve25519.h"
#include "integrity/signature.h"
#include "integrity/test_support.h"
#include "integrity/trust_anchors.h"

namespace {

using integrity_test::TestRandom;

SigningKey random_key(TestRandom& rng) {
  uint8_t seed[64];
  rng.fill(seed, sizeof seed);
  SigningKey key;
  EXPECT_TRUE(signing_key_from_seed(key, seed));
  return key;
}

// The constants of the tests: the standard ones and the build's own, so that nothing
// depends on which trust directory the build uses.
const SignatureHashConstants* const kConstants[] = {&kSha256Constants, &kSignatureHashConstants};

TEST(Signer, RandomKeysAndDigestsRoundTrip) {
  TestRandom rng(5);
  for (int i = 0; i < 300; ++i) {
    const SignatureHashConstants& c = *kConstants[i % 2];
    SigningKey key = random_key(rng);
    uint8_t digest[20], record[68];
    rng.fill(digest, 20);
    sign_digest(c, key, digest, record);
    ASSERT_TRUE(signature_record_valid_for(c, key.public_key, digest, record)) << i;
    EXPECT_EQ(memcmp(record, digest, 20), 0);
    // Another key, or the other constants, do not verify it.
    SigningKey other = random_key(rng);
    EXPECT_FALSE(signature_record_valid_for(c, other.public_key, digest, record));
    EXPECT_FALSE(signature_record_valid_for(*kConstants[1 - i % 2], key.public_key, digest,
                                            record));
  }
}

// Every single-byte change of the record fails: any byte of the digest copy, of r and of v.
TEST(Signer, EveryTamperedRecordByteFails) {
  TestRandom rng(6);
  const SignatureHashConstants& c = kSignatureHashConstants;
  for (int round = 0; round < 3; ++round) {
    SigningKey key = random_key(rng);
    uint8_t digest[20], record[68];
    rng.fill(digest, 20);
    sign_digest(c, key, digest, record);
    ASSERT_TRUE(signature_record_valid_for(c, key.public_key, digest, record));
    for (int i = 0; i < 68; ++i) {
      for (uint8_t flip : {0x01, 0x80, 0xff}) {
        uint8_t bad[68];
        memcpy(bad, record, 68);
        bad[i] ^= flip;
        EXPECT_FALSE(signature_record_valid_for(c, key.public_key, digest, bad))
            << "byte " << i << " flip " << int(flip);
      }
    }
    // And the digest the reader computed differing from the signed one.
    for (int i = 0; i < 20; ++i) {
      uint8_t other[20];
      memcpy(other, digest, 20);
      other[i] ^= 0x10;
      EXPECT_FALSE(signature_record_valid_for(c, key.public_key, other, record));
    }
  }
}

// v is used as all 256 bits: adding the group order to it changes Y unless P has no
// component outside the group G generates. For the signer's keys it has none, so v + l
// still verifies; v with bit 255 set instead of reduced does not.
TEST(Signer, ScalarVIsUsedUnreduced) {
  TestRandom rng(7);
  const SignatureHashConstants& c = kSignatureHashConstants;
  SigningKey key = random_key(rng);
  uint8_t digest[20], record[68];
  rng.fill(digest, 20);
  sign_digest(c, key, digest, record);
  static const uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                     0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                     0,    0,    0,    0,    0,    0,    0,    0,
                                     0,    0,    0,    0,    0,    0,    0,    0x10};
  uint8_t plus_order[68];
  memcpy(plus_order, record, 68);
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    carry += unsigned(plus_order[36 + i]) + kOrder[i];
    plus_order[36 + i] = uint8_t(carry);
    carry >>= 8;
  }
  ASSERT_EQ(carry, 0u);
  EXPECT_TRUE(signature_record_valid_for(c, key.public_key, digest, plus_order));
  uint8_t top_bit[68];
  memcpy(top_bit, record, 68);
  top_bit[67] ^= 0x80;
  EXPECT_FALSE(signature_record_valid_for(c, key.public_key, digest, top_bit));
}

// A signer that XORs r into bytes 0..15 of m instead of 8..23 makes signatures that never
// verify; the same signer with the right offset does, so the offset alone decides.
TEST(Signer, ChallengeXorOffsetMatters) {
  TestRandom rng(8);
  const SignatureHashConstants& c = kSignatureHashConstants;
  for (int i = 0; i < 20; ++i) {
    SigningKey key = random_key(rng);
    uint8_t digest[20], k_seed[64];
    rng.fill(digest, 20);
    rng.fill(k_seed, 64);
    for (int offset : {8, 0}) {
      Scalar k;
      scalar_reduce(k, k_seed, 64);
      uint8_t k_bytes[32], y[32], nine[32] = {9}, hash[32], record[68];
      scalar_to_bytes(k_bytes, k);
      curve_scalar_mult_x(k_bytes, nine, y);
      signature_hash(c, y, 32, hash);
      memcpy(record, digest, 20);
      memcpy(record + 20, hash, 16);
      uint8_t h_bytes[32];
      signature_hash(c, digest, 20, h_bytes);
      for (int j = 0; j < 16; ++j) h_bytes[offset + j] ^= record[20 + j];
      h_bytes[0] &= 0xF8;
      h_bytes[31] = (h_bytes[31] & 0x7F) | 0x40;
      Scalar h, v, inverse;
      scalar_reduce(h, h_bytes, 32);
      scalar_sub(v, k, h);
      scalar_invert(inverse, key.scalar);
      scalar_mul(v, v, inverse);
      scalar_to_bytes(record + 36, v);
      EXPECT_EQ(signature_record_valid_for(c, key.public_key, digest, record), offset == 8)
          << "offset " << offset;
    }
  }
}

TEST(Signer, SigningIsDeterministic) {
  TestRandom rng(9);
  SigningKey key = random_key(rng);
  uint8_t digest[20], a[68], b[68], other[68];
  rng.fill(digest, 20);
  sign_digest(kSignatureHashConstants, key, digest, a);
  sign_digest(kSignatureHashConstants, key, digest, b);
  EXPECT_EQ(hex(a, 68), hex(b, 68));
  digest[0] ^= 1;
  sign_digest(kSignatureHashConstants, key, digest, other);
  EXPECT_NE(hex(a + 20, 48), hex(other + 20, 48));  // a fresh nonce for another digest
}

TEST(Signer, KeysAreNormalisedToTheEvenPoint) {
  TestRandom rng(10);
  for (int i = 0; i < 20; ++i) {
    SigningKey key = random_key(rng);
    uint8_t x[32], pub[32];
    signing_key_private_bytes(key, x);
    bool even_y = false;
    ASSERT_TRUE(curve_base_multiple(x, pub, &even_y));
    EXPECT_TRUE(even_y);
    EXPECT_EQ(hex(pub, 32), hex(key.public_key, 32));
    EXPECT_TRUE(curve_valid_public_key(key.public_key));
    // Reloading the stored scalar gives the same key.
    SigningKey again;
    ASSERT_TRUE(signing_key_from_private(again, x));
    EXPECT_EQ(hex(again.public_key, 32), hex(key.public_key, 32));
    // The negated scalar (odd y) has the same public key and is stored normalised.
    Scalar neg;
    const Scalar zero = {};
    scalar_sub(neg, zero, key.scalar);
    uint8_t neg_bytes[32], back[32];
    scalar_to_bytes(neg_bytes, neg);
    ASSERT_TRUE(signing_key_from_private(again, neg_bytes));
    signing_key_private_bytes(again, back);
    EXPECT_EQ(hex(back, 32), hex(x, 32));
  }
  uint8_t zero[32] = {}, too_big[32];
  memset(too_big, 0xff, 32);
  SigningKey key;
  EXPECT_FALSE(signing_key_from_private(key, zero));
  EXPECT_FALSE(signing_key_from_private(key, too_big));
}

// The committed development key pair matches, and signs what the built-in check accepts
// when the build uses the source tree's trust directory.
TEST(Signer, DevelopmentKeyPair) {
  uint8_t priv[32], pub[32];
  const std::string key_file =
      integrity_test::read_file(integrity_test::source_path("trust/development.key"));
  EXPECT_NE(key_file.find("DEVELOPMENT ONLY"), std::string::npos);
  ASSERT_TRUE(parse_key_text(key_file, priv));
  ASSERT_TRUE(parse_key_text(integrity_test::read_file(
                                 integrity_test::source_path("trust/public_key.hex")),
                             pub));
  SigningKey key;
  ASSERT_TRUE(signing_key_from_private(key, priv));
  EXPECT_EQ(hex(key.public_key, 32), hex(pub, 32));
  uint8_t stored[32];
  signing_key_private_bytes(key, stored);
  EXPECT_EQ(hex(stored, 32), hex(priv, 32));  // stored normalised already
  if (memcmp(kSigningPublicKey, pub, 32) != 0)
    GTEST_SKIP() << "built with another trust directory";
  uint8_t digest[20] = {1, 2, 3}, record[68];
  sign_digest(kSignatureHashConstants, key, digest, record);
  EXPECT_TRUE(signature_record_valid(digest, record));
  record[40] ^= 4;
  EXPECT_FALSE(signature_record_valid(digest, record));
}

TEST(Signer, KeyText) {
  uint8_t key[32], back[32];
  for (int i = 0; i < 32; ++i) key[i] = uint8_t(i * 9);
  const std::string text = key_text(key, "first line\nDEVELOPMENT ONLY");
  EXPECT_EQ(text.substr(0, 34), "# first line\n# DEVELOPMENT ONLY\n00");
  ASSERT_TRUE(parse_key_text(text, back));
  EXPECT_EQ(hex(back, 32), hex(key, 32));
  EXPECT_FALSE(parse_key_text("# only a comment\n", back));
  EXPECT_FALSE(parse_key_text(text + text, back));              // two keys
  EXPECT_FALSE(parse_key_text(text.substr(0, text.size() - 3) + "\n", back));  // short
  EXPECT_FALSE(parse_key_text("zz" + text.substr(text.size() - 63), back));
}

}  // namespace
