#include "archive/adler32.h"

#include <atomic>

#include "system/cpu_features.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define KEST_ADLER_X86 1
#endif

namespace {

constexpr uint32_t kBase = 65521;  // the largest prime below 2^16
// The most bytes whose sums cannot overflow 32 bits before the next reduction.
constexpr size_t kMaxRun = 5552;

uint32_t update_portable(uint32_t adler, const uint8_t* p, size_t n) {
  uint32_t a = adler & 0xffff, b = adler >> 16;
  while (n > 0) {
    size_t run = n < kMaxRun ? n : kMaxRun;
    n -= run;
    for (; run > 0; --run) {
      a += *p++;
      b += a;
    }
    a %= kBase;
    b %= kBase;
  }
  return b << 16 | a;
}

#ifdef KEST_ADLER_X86

// 32 bytes a step: a grows by their sum, b by 32 times the a before the step plus the bytes
// weighted 32, 31, ..., 1. The byte sums come from psadbw, the weighted sums from pmaddubsw.
__attribute__((target("ssse3"))) uint32_t update_ssse3(uint32_t adler, const uint8_t* p,
                                                       size_t n) {
  uint32_t a = adler & 0xffff, b = adler >> 16;
  size_t blocks = n / 32;
  n -= blocks * 32;
  const __m128i weights_high = _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20,
                                             19, 18, 17);
  const __m128i weights_low = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m128i zero = _mm_setzero_si128();
  const __m128i ones = _mm_set1_epi16(1);
  while (blocks > 0) {
    size_t steps = blocks < kMaxRun / 32 ? blocks : kMaxRun / 32;
    blocks -= steps;
    // a_before: the sum of the a values before each step, times 32 at the end.
    __m128i a_before = _mm_cvtsi32_si128(int(a * uint32_t(steps)));
    __m128i sums = zero, weighted = _mm_cvtsi32_si128(int(b));
    for (; steps > 0; --steps, p += 32) {
      const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
      a_before = _mm_add_epi32(a_before, sums);
      sums = _mm_add_epi32(sums, _mm_sad_epu8(high, zero));
      sums = _mm_add_epi32(sums, _mm_sad_epu8(low, zero));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(high, weights_high), ones));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(low, weights_low), ones));
    }
    weighted = _mm_add_epi32(weighted, _mm_slli_epi32(a_before, 5));
    // Add up the lanes: sums has two 64-bit halves, weighted four 32-bit lanes.
    sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, _MM_SHUFFLE(1, 0, 3, 2)));
    weighted = _mm_add_epi32(weighted, _mm_shuffle_epi32(weighted, _MM_SHUFFLE(2, 3, 0, 1)));
    weighted = _mm_add_epi32(weighted, _mm_shuffle_epi32(weighted, _MM_SHUFFLE(1, 0, 3, 2)));
    a = (a + uint32_t(_mm_cvtsi128_si32(sums))) % kBase;
    b = uint32_t(_mm_cvtsi128_si32(weighted)) % kBase;
  }
  return update_portable(b << 16 | a, p, n);
}

#endif

using UpdateFn = uint32_t (*)(uint32_t, const uint8_t*, size_t);

UpdateFn fast() {
#ifdef KEST_ADLER_X86
  static const UpdateFn fn = cpu_has_ssse3() ? update_ssse3 : nullptr;
#else
  static const UpdateFn fn = nullptr;
#endif
  return fn;
}

std::atomic<bool> g_force_portable{false};

UpdateFn chosen() {
  UpdateFn fn = fast();
  return fn && !g_force_portable.load(std::memory_order_relaxed) ? fn : update_portable;
}

}  // namespace

uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t length) {
  return chosen()(adler, data, length);
}

bool adler32_fast() { return chosen() != update_portable; }

void adler32_force_portable(bool portable) { g_force_portable.store(portable); }
