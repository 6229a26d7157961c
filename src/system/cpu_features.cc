#include "system/cpu_features.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>

namespace {

struct Features {
  bool ssse3 = false, sse4_1 = false, sha = false;
  Features() {
    unsigned a, b, c, d;
    // __get_cpuid also finds out whether a 32-bit processor has cpuid at all.
    if (!__get_cpuid(1, &a, &b, &c, &d)) return;
    ssse3 = (c & bit_SSSE3) != 0;
    sse4_1 = (c & bit_SSE4_1) != 0;
    if (__get_cpuid_max(0, nullptr) < 7) return;
    __cpuid_count(7, 0, a, b, c, d);
    sha = (b & bit_SHA) != 0;
  }
};

const Features& features() {
  static const Features f;
  return f;
}

}  // namespace

bool cpu_has_ssse3() { return features().ssse3; }
bool cpu_has_sha() { return features().ssse3 && features().sse4_1 && features().sha; }

#else

bool cpu_has_ssse3() { return false; }
bool cpu_has_sha() { return false; }

#endif
