#include "integrity/sha1.h"

#include <cstring>

namespace {

inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace

void Sha1::reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xEFCDAB89;
  state_[2] = 0x98BADCFE;
  state_[3] = 0x10325476;
  state_[4] = 0xC3D2E1F0;
  length_ = 0;
  block_used_ = 0;
}

// The 80 rounds, unrolled with a 16-word rolling message schedule.
#define SHA1_W(i) (w[(i) & 15] = rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ \
                                     w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define SHA1_STEP(a, b, c, d, e, f, k, wi)      \
  do {                                          \
    e += rol(a, 5) + (f) + (k) + (wi);          \
    b = rol(b, 30);                             \
  } while (0)
#define F1(b, c, d) (d ^ (b & (c ^ d)))
#define F2(b, c, d) (b ^ c ^ d)
#define F3(b, c, d) ((b & c) | (d & (b | c)))

void Sha1::compress(const uint8_t block[64]) {
  uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  // Five rounds per line, rotating the roles of a..e instead of moving the values.
#define SHA1_FIVE(F, K, W0, W1, W2, W3, W4) \
  SHA1_STEP(a, b, c, d, e, F(b, c, d), K, W0); \
  SHA1_STEP(e, a, b, c, d, F(a, b, c), K, W1); \
  SHA1_STEP(d, e, a, b, c, F(e, a, b), K, W2); \
  SHA1_STEP(c, d, e, a, b, F(d, e, a), K, W3); \
  SHA1_STEP(b, c, d, e, a, F(c, d, e), K, W4)
  SHA1_FIVE(F1, 0x5A827999, w[0], w[1], w[2], w[3], w[4]);
  SHA1_FIVE(F1, 0x5A827999, w[5], w[6], w[7], w[8], w[9]);
  SHA1_FIVE(F1, 0x5A827999, w[10], w[11], w[12], w[13], w[14]);
  SHA1_FIVE(F1, 0x5A827999, w[15], SHA1_W(16), SHA1_W(17), SHA1_W(18), SHA1_W(19));
  for (int i = 20; i < 40; i += 5) {
    SHA1_FIVE(F2, 0x6ED9EBA1, SHA1_W(i), SHA1_W(i + 1), SHA1_W(i + 2), SHA1_W(i + 3), SHA1_W(i + 4));
  }
  for (int i = 40; i < 60; i += 5) {
    SHA1_FIVE(F3, 0x8F1BBCDC, SHA1_W(i), SHA1_W(i + 1), SHA1_W(i + 2), SHA1_W(i + 3), SHA1_W(i + 4));
  }
  for (int i = 60; i < 80; i += 5) {
    SHA1_FIVE(F2, 0xCA62C1D6, SHA1_W(i), SHA1_W(i + 1), SHA1_W(i + 2), SHA1_W(i + 3), SHA1_W(i + 4));
  }
#undef SHA1_FIVE
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
}

void Sha1::update(const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  length_ += length;
  if (block_used_ > 0) {
    size_t take = 64 - block_used_;
    if (take > length) take = length;
    memcpy(block_ + block_used_, p, take);
    block_used_ += take;
    p += take;
    length -= take;
    if (block_used_ < 64) return;
    compress(block_);
    block_used_ = 0;
  }
  while (length >= 64) {
    compress(p);
    p += 64;
    length -= 64;
  }
  if (length > 0) {
    memcpy(block_, p, length);
    block_used_ = length;
  }
}

void Sha1::finish(uint8_t out[kDigestSize]) {
  uint64_t bits = length_ * 8;
  uint8_t pad[72] = {0x80};
  size_t pad_len = (block_used_ < 56) ? 56 - block_used_ : 120 - block_used_;
  for (int i = 0; i < 8; ++i) pad[pad_len + i] = uint8_t(bits >> (56 - 8 * i));
  update(pad, pad_len + 8);
  for (int i = 0; i < 5; ++i) {
    out[4 * i] = uint8_t(state_[i] >> 24);
    out[4 * i + 1] = uint8_t(state_[i] >> 16);
    out[4 * i + 2] = uint8_t(state_[i] >> 8);
    out[4 * i + 3] = uint8_t(state_[i]);
  }
  reset();
}
