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

void Sha1::compress(const uint8_t block[64]) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t t = rol(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rol(b, 30);
    b = a;
    a = t;
  }
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
