#include "integrity/sha1.h"

#include <atomic>
#include <cstring>

#include "system/cpu_features.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define KEST_SHA1_X86 1
#endif

namespace {

using CompressFn = void (*)(uint32_t state[5], const uint8_t* blocks, size_t count);

inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
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

void compress_portable(uint32_t state[5], const uint8_t* block, size_t count) {
  for (; count > 0; --count, block += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
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
      SHA1_FIVE(F2, 0x6ED9EBA1, SHA1_W(i), SHA1_W(i + 1), SHA1_W(i + 2), SHA1_W(i + 3),
                SHA1_W(i + 4));
    }
    for (int i = 40; i < 60; i += 5) {
      SHA1_FIVE(F3, 0x8F1BBCDC, SHA1_W(i), SHA1_W(i + 1), SHA1_W(i + 2), SHA1_W(i + 3),
                SHA1_W(i + 4));
    }
    for (int i = 60; i < 80; i += 5) {
      SHA1_FIVE(F2, 0xCA62C1D6, SHA1_W(i), SHA1_W(i + 1), SHA1_W(i + 2), SHA1_W(i + 3),
                SHA1_W(i + 4));
    }
#undef SHA1_FIVE
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#ifdef KEST_SHA1_X86

// Four rounds per instruction. ABCD holds a..d (a in the top lane), E0/E1 take turns holding
// e plus the next four message words; MSG0..3 are the rolling message schedule, extended four
// words at a time by msg1, xor and msg2, each step a few groups ahead of the rounds.
__attribute__((target("sha,ssse3,sse4.1"))) void compress_sha_ni(uint32_t state[5],
                                                                  const uint8_t* block,
                                                                  size_t count) {
  const __m128i kByteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0), e1;
  for (; count > 0; --count, block += 64) {
    const __m128i abcd_saved = abcd, e0_saved = e0;
    const __m128i* p = reinterpret_cast<const __m128i*>(block);
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(p), kByteSwap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(p + 1), kByteSwap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(p + 2), kByteSwap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(p + 3), kByteSwap);

#define ROUNDS(e_in, e_out, f) \
  e_out = abcd;                \
  abcd = _mm_sha1rnds4_epu32(abcd, e_in, f)
#define NEXT_E(e, m) e = _mm_sha1nexte_epu32(e, m)
#define MSG1(t, m) t = _mm_sha1msg1_epu32(t, m)
#define MSG2(t, m) t = _mm_sha1msg2_epu32(t, m)
#define MXOR(t, m) t = _mm_xor_si128(t, m)
    // Rounds 0-15: the message words as loaded.
    e0 = _mm_add_epi32(e0, m0);
    ROUNDS(e0, e1, 0);
    NEXT_E(e1, m1); ROUNDS(e1, e0, 0); MSG1(m0, m1);
    NEXT_E(e0, m2); ROUNDS(e0, e1, 0); MSG1(m1, m2); MXOR(m0, m2);
    NEXT_E(e1, m3); MSG2(m0, m3); ROUNDS(e1, e0, 0); MSG1(m2, m3); MXOR(m1, m3);
    // Rounds 16-79: group g uses m[g % 4], completes m[(g + 1) % 4] and starts on the two after.
#define GROUP(e_in, e_out, mc, mnext, mxor, mfirst, f) \
  NEXT_E(e_in, mc); MSG2(mnext, mc); ROUNDS(e_in, e_out, f); MSG1(mfirst, mc); MXOR(mxor, mc)
    GROUP(e0, e1, m0, m1, m2, m3, 0);   // 16-19
    GROUP(e1, e0, m1, m2, m3, m0, 1);   // 20-23
    GROUP(e0, e1, m2, m3, m0, m1, 1);   // 24-27
    GROUP(e1, e0, m3, m0, m1, m2, 1);   // 28-31
    GROUP(e0, e1, m0, m1, m2, m3, 1);   // 32-35
    GROUP(e1, e0, m1, m2, m3, m0, 1);   // 36-39
    GROUP(e0, e1, m2, m3, m0, m1, 2);   // 40-43
    GROUP(e1, e0, m3, m0, m1, m2, 2);   // 44-47
    GROUP(e0, e1, m0, m1, m2, m3, 2);   // 48-51
    GROUP(e1, e0, m1, m2, m3, m0, 2);   // 52-55
    GROUP(e0, e1, m2, m3, m0, m1, 2);   // 56-59
    GROUP(e1, e0, m3, m0, m1, m2, 3);   // 60-63
    GROUP(e0, e1, m0, m1, m2, m3, 3);   // 64-67, the last message word to start
    // 68-79: the schedule only finishes what it started.
    NEXT_E(e1, m1); MSG2(m2, m1); ROUNDS(e1, e0, 3); MXOR(m3, m1);
    NEXT_E(e0, m2); MSG2(m3, m2); ROUNDS(e0, e1, 3);
    NEXT_E(e1, m3); ROUNDS(e1, e0, 3);
#undef GROUP
#undef MXOR
#undef MSG2
#undef MSG1
#undef NEXT_E
#undef ROUNDS
    e0 = _mm_sha1nexte_epu32(e0, e0_saved);
    abcd = _mm_add_epi32(abcd, abcd_saved);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = uint32_t(_mm_extract_epi32(e0, 3));
}

CompressFn hardware_compress() { return cpu_has_sha() ? compress_sha_ni : nullptr; }

#else

CompressFn hardware_compress() { return nullptr; }

#endif

// Chosen at the first use rather than at static initialisation, so that a context used by
// another file's initialiser still finds it.
CompressFn hardware() {
  static const CompressFn fn = hardware_compress();
  return fn;
}

std::atomic<bool> g_force_portable{false};

inline CompressFn compress_fn() {
  CompressFn fn = hardware();
  return fn && !g_force_portable.load(std::memory_order_relaxed) ? fn : compress_portable;
}

}  // namespace

bool sha1_hardware_available() { return hardware() != nullptr; }

void sha1_force_portable(bool portable) { g_force_portable.store(portable); }

void Sha1::reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xEFCDAB89;
  state_[2] = 0x98BADCFE;
  state_[3] = 0x10325476;
  state_[4] = 0xC3D2E1F0;
  length_ = 0;
  block_used_ = 0;
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
    compress_fn()(state_, block_, 1);
    block_used_ = 0;
  }
  if (length >= 64) {
    compress_fn()(state_, p, length / 64);
    p += length & ~size_t(63);
    length &= 63;
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
